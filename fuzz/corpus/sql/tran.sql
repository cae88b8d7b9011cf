create table k (id int not null primary key, v varchar(8))
begin transaction outer_t
insert into k values (1, 'one')
save transaction s1
insert into k values (2, 'two')
rollback transaction s1
insert into k values (1, 'dup')
commit transaction
set xact_abort on
begin tran
update k set v = null where id = 1
delete from k
rollback
select @@trancount, @@error, count(*) from k
