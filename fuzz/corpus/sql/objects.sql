create table t (a int, b varchar(3))
GO
create view v as select a, b from t where a > 0
GO
create procedure p @n int as insert into t (a) values (@n)
GO
exec p @n = 5
if exists (select * from sysobjects where name = 'v' and xtype = 'V') drop view v
if object_id('t') is not null select name, xtype from syscolumns where id = object_id('t')
drop procedure p
drop table t
