create table lib_book (bk_id int identity(1,1) not null, bk_title varchar(60) default(''), bk_price numeric(9,2) default(0), bk_money money null, bk_date datetime default(getdate()), bk_flag bit default(0), bk_rate float null, bk_code char(10) not null)
GO
alter table lib_book add constraint PK_lib_book primary key nonclustered (bk_code)
GO
create unique index ix_title on lib_book (bk_title, bk_id)
GO
insert into lib_book (bk_title, bk_price, bk_code) values ('abc', 12.5, 'A1')
insert into lib_book (bk_title, bk_code, bk_rate) values ('def', 'B2', 1.5e3)
insert into lib_book (bk_code) select 'C' + bk_code from lib_book
select * from lib_book where bk_code like 'A%' order by bk_price desc
