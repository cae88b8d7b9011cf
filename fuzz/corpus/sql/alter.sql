create table t (a int, b char(4) default('x'), c numeric(5,1))
insert into t values (1, 'ab', 2.5)
insert into t (a) values (2)
alter table t add d varchar(10) null, e int not null default(7)
alter table t alter column b varchar(20) not null
alter table t drop column c
update t set e = e + a where a > 1
select a, b, d, e from t
