create table t(a int, b int, c int)
insert into t values(1,2,3)
alter table t drop column a, a
