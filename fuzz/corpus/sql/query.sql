create table a (x int, y varchar(5))
create table b (x int, z datetime)
insert into a values (1, 'p')
insert into a values (2, NULL)
insert into b values (1, '2007-12-27 10:00:00')
select a.x, isnull(y, '?'), convert(char(10), z, 120), case when z is null then 0 else datalength(y) end from a left join b on a.x = b.x
select x, count(*), sum(x), max(y) from a group by x having count(*) > 0
select top 1 * from a where x in (select x from b) and exists (select 1 from b where b.x = a.x)
select substring(y, 1, 2), upper(y), ltrim(rtrim(y)), len(y), charindex('p', y), replace(y, 'p', 'q') from a
select cast(x as float) / 3, round(1.005, 2), floor(-1.5), abs(-3), year(getdate()), str(3.14159, 6, 2) from a
