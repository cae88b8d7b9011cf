// libsql-server through tedious, the JavaScript TDS client, as a Node.js
// application written for SQL Server uses it: typed parameters (which tedious
// sends as sp_executesql calls), output parameters, a prepared statement,
// two connections side by side, cancel and time-out with the connection
// still usable, transactions, a reset of a pooled connection and errors.
//
// Run as: node tedious_test.js NODE_MODULES LIBSQL_SERVER LIBSQL
'use strict';

const assert = require('node:assert/strict');
const { spawn, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');
const { test: nodeTest, before, after } = require('node:test');

// No test may hang the run.
const test = (name, fn) => nodeTest(name, { timeout: 60000 }, fn);

const [modules, serverBin, libsqlBin] = process.argv.slice(2);
const { Connection, Request, TYPES } = require(path.join(modules, 'tedious'));

// Some 300 million row combinations: long enough to be cancelled part-way on
// any machine, in little memory.
const LONG_QUERY =
  'select count(*) from n a where a.k < ' +
  '(select count(*) from n b, n c where b.k > a.k and c.k > a.k)';

let dir, server, port;

before(async () => {
  dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tedious_test_'));
  const db = path.join(dir, 'lib.db');
  const rows = Array.from({ length: 1000 }, (_, i) => `(${i})`).join(',');
  execFileSync(libsqlBin, ['-b', '-d', db, '-Q', 'create table n (k int) insert into n values ' + rows]);
  const log = fs.openSync(path.join(dir, 'server.log'), 'w');
  server = spawn(serverBin, ['-d', db, '--listen', '127.0.0.1:0'], { stdio: ['ignore', 'pipe', log] });
  const line = await new Promise((resolve) => readline.createInterface({ input: server.stdout }).once('line', resolve));
  assert.match(line, /^listening on /);
  port = Number(line.slice(line.lastIndexOf(':') + 1));
});

after(async () => {
  server.kill('SIGTERM');
  await new Promise((resolve) => server.once('exit', resolve));
  fs.rmSync(dir, { recursive: true, force: true });
});

function connect(options = {}) {
  return new Promise((resolve, reject) => {
    const c = new Connection({
      server: '127.0.0.1',
      authentication: { type: 'default', options: { userName: 'sa', password: '' } },
      options: { port, encrypt: false, trustServerCertificate: true, ...options },
    });
    c.connect((err) => (err ? reject(err) : resolve(c)));
  });
}

function close(c) {
  return new Promise((resolve) => {
    c.once('end', resolve);
    c.close();
  });
}

// Runs sql: as a batch without parameters, through sp_executesql with them.
// params: [name, type, value, options]; outputs: [name, type, options].
// Resolves to the rows (arrays of values), the row count, the output values
// and the wire types of the columns.
function run(c, sql, params = [], outputs = []) {
  return new Promise((resolve, reject) => {
    const rows = [];
    const out = {};
    let types = [];  // the wire types of the last result set's columns
    const r = new Request(sql, (err, rowCount) => (err ? reject(err) : resolve({ rows, rowCount, out, types })));
    r.on('columnMetadata', (cols) => (types = cols.map((col) => col.type.name)));
    for (const [name, type, value, options] of params) r.addParameter(name, type, value, options);
    for (const [name, type, options] of outputs) r.addOutputParameter(name, type, null, options);
    r.on('row', (cols) => rows.push(cols.map((col) => col.value)));
    r.on('returnValue', (name, value) => (out[name] = value));
    if (params.length || outputs.length) c.execSql(r);
    else c.execSqlBatch(r);
  });
}

test('typed parameters of every type the engine has round-trip through a table', async () => {
  const c = await connect();
  await run(c,
    'create table p (k int, s smallint, y tinyint, b bit, m numeric(12,3), mo money, f float, r real,' +
    ' d datetime, c char(6), v varchar(20), t text, im image, bi bigint)');
  const when = new Date(Date.UTC(2009, 9, 15, 13, 45, 30, 250));
  const types = [TYPES.Int, TYPES.SmallInt, TYPES.TinyInt, TYPES.Bit, TYPES.Decimal, TYPES.Money, TYPES.Float,
    TYPES.Real, TYPES.DateTime, TYPES.Char, TYPES.VarChar, TYPES.Text, TYPES.Image, TYPES.BigInt];
  const cases = [
    [1, -32768, 255, true, -12345.678, 922337203685.4775, 1 / 3, 0.5, when, 'ab    ', '中文书名', '长'.repeat(3000),
      Buffer.alloc(9000, 7), '9007199254740993'],
    [2, null, null, null, null, null, null, null, null, null, null, null, null, null],
    [3, 0, 0, false, 0.001, -0.0001, -1e300, -2.5, new Date(Date.UTC(1753, 0, 1)), '', "it's", '',
      Buffer.from([0, 255]), '-9223372036854775807'],
  ];
  const names = 'k s y b m mo f r d c v t im bi'.split(' ');
  for (const row of cases) {
    const params = row.map((v, i) => [names[i], types[i], v, types[i] === TYPES.Decimal ? { precision: 12, scale: 3 } : undefined]);
    const { rowCount } = await run(c, `insert into p values (${names.map((n) => '@' + n).join(', ')})`, params);
    assert.equal(rowCount, 1);
  }
  // Each column announced as SQL Server announces it.
  assert.deepEqual((await run(c, 'select * from p where 1 = 0')).types,
    ['IntN', 'IntN', 'IntN', 'BitN', 'NumericN', 'MoneyN', 'FloatN', 'FloatN', 'DateTimeN', 'Char', 'VarChar',
      'Text', 'Image', 'IntN']);
  for (const row of cases) {
    const { rows } = await run(c, 'select * from p where k = @k', [['k', TYPES.Int, row[0]]]);
    const expected = [...row];
    if (row[9] === '') expected[9] = '      ';  // char(6) is padded
    assert.deepEqual(rows, [expected]);
  }
  await run(c, 'drop table p');
  await close(c);
});

test('parameters of types the engine stores otherwise arrive as their values', async () => {
  const c = await connect();
  const { rows } = await run(c, 'select @big + 1, @nv, @g, @d2, @dt, @sd, @vb, @nul',
    [
      ['big', TYPES.BigInt, '3000000000'],
      ['nv', TYPES.NVarChar, '借阅 üï'],
      ['g', TYPES.UniqueIdentifier, '6F9619FF-8B86-D011-B42D-00C04FC964FF'],
      ['d2', TYPES.DateTime2, new Date(Date.UTC(2020, 1, 29, 23, 59, 59, 123)), { scale: 3 }],
      ['dt', TYPES.Date, new Date(Date.UTC(2007, 2, 1))],
      ['sd', TYPES.SmallDateTime, new Date(Date.UTC(2007, 11, 27, 8, 30))],
      ['vb', TYPES.VarBinary, Buffer.from([0, 1, 254, 255])],
      ['nul', TYPES.NVarChar, null],
    ]);
  // A character outside code page 936 becomes '?', as on a GBK database.
  // bigint arrives as a string, as tedious gives every bigint.
  assert.deepEqual(rows, [['3000000001', '借阅 ü?', '6F9619FF-8B86-D011-B42D-00C04FC964FF',
    new Date(Date.UTC(2020, 1, 29, 23, 59, 59, 123)), new Date(Date.UTC(2007, 2, 1)),
    new Date(Date.UTC(2007, 11, 27, 8, 30)), Buffer.from([0, 1, 254, 255]), null]]);
  await close(c);
});

test('output parameters come back with their values', async () => {
  const c = await connect();
  const { out } = await run(c, "set @twice = @x * 2 set @name = 'x' + @s",
    [['x', TYPES.Int, 21], ['s', TYPES.VarChar, '书']], [['twice', TYPES.Int], ['name', TYPES.VarChar, { length: 10 }]]);
  assert.deepEqual(out, { twice: 42, name: 'x书' });
  await close(c);
});

test('a prepared statement runs again with new values and is unprepared', async () => {
  const c = await connect();
  const rows = [];
  // The request's callback ends each of execute and unprepare; preparing
  // ends with its 'prepared' event.
  let ended;
  const r = new Request('select @x * 2, @s', (err) => ended(err));
  const step = (f) => new Promise((resolve) => { ended = resolve; f(); });
  r.addParameter('x', TYPES.Int);
  r.addParameter('s', TYPES.NVarChar);
  r.on('row', (cols) => rows.push(cols.map((col) => col.value)));
  await new Promise((resolve, reject) => {
    r.once('prepared', resolve);
    r.once('error', reject);
    c.prepare(r);
  });
  assert.ok(r.handle > 0);
  for (const [x, s] of [[21, 'a'], [-4, '乙']]) assert.equal(await step(() => c.execute(r, { x, s })), undefined);
  assert.deepEqual(rows, [[42, 'a'], [-8, '乙']]);
  assert.equal(await step(() => c.unprepare(r)), undefined);
  // The handle is gone: executing it again is 8179.
  assert.equal((await step(() => c.execute(r, { x: 1, s: 'b' })))?.number, 8179);
  await close(c);
});

test('two connections work side by side, each with its own transaction', async () => {
  const a = await connect();
  const b = await connect();
  await run(a, 'create table ta (k int) create table tb (k int)');
  await new Promise((resolve, reject) => a.beginTransaction((err) => (err ? reject(err) : resolve())));
  await run(a, 'insert into ta values (1)');
  // b writes and reads another table while a's transaction is open.
  await new Promise((resolve, reject) => b.beginTransaction((err) => (err ? reject(err) : resolve())));
  await run(b, 'insert into tb values (@k)', [['k', TYPES.Int, 2]]);
  assert.deepEqual((await run(b, 'select count(*) from tb')).rows, [[1]]);
  await new Promise((resolve, reject) => b.commitTransaction((err) => (err ? reject(err) : resolve())));
  await new Promise((resolve, reject) => a.rollbackTransaction((err) => (err ? reject(err) : resolve())));
  assert.deepEqual((await run(b, 'select (select count(*) from ta), (select count(*) from tb)')).rows, [[0, 1]]);
  await run(a, 'drop table ta drop table tb');
  await close(a);
  await close(b);
});

test('a cancelled or timed-out long query leaves the connection usable', async () => {
  const c = await connect({ requestTimeout: 400 });
  for (const how of ['timeout', 'cancel']) {
    const started = Date.now();
    const pending = run(c, LONG_QUERY, how === 'cancel' ? [] : [['unused', TYPES.Int, 1]]);
    if (how === 'cancel') setTimeout(() => c.cancel(), 200);
    await assert.rejects(pending, { code: how === 'cancel' ? 'ECANCEL' : 'ETIMEOUT' });
    assert.ok(Date.now() - started < 5000, `${how} took ${Date.now() - started} ms`);
    assert.deepEqual((await run(c, 'select count(*) from n where k < @k', [['k', TYPES.Int, 10]])).rows, [[10]]);
  }
  // A statement waiting for another session's lock, cancelled by the time-out.
  const holder = await connect();
  await run(holder, 'create table w (k int) begin transaction insert into w values (1)');
  await assert.rejects(run(c, 'select * from w'), { code: 'ETIMEOUT' });
  assert.deepEqual((await run(c, 'select 1')).rows, [[1]]);
  await run(holder, 'rollback drop table w');
  await close(holder);
  await close(c);
});

test('a reset connection forgets its transaction, #temp tables and SET options', async () => {
  const c = await connect();
  const other = await connect();
  await run(c, 'create table r (k int)');
  await run(c, 'create table #t (k int) set nocount on begin transaction insert into r values (1)');
  await run(other, 'create table #t (k int) insert into #t values (5)');
  await new Promise((resolve, reject) => c.reset((err) => (err ? reject(err) : resolve())));
  const { rows, rowCount } = await run(c,
    "select @@trancount, (select count(*) from r), object_id('tempdb..#t') insert into r values (2)");
  assert.deepEqual(rows, [[0, 0, null]]);
  // The other connection's #t is its own and stays.
  assert.deepEqual((await run(other, 'select k from #t')).rows, [[5]]);
  await close(other);
  assert.equal(rowCount, 2);  // NOCOUNT is off again: both statements counted
  await run(c, 'drop table r');
  await close(c);
});

test('errors arrive with their number, severity and message', async () => {
  const c = await connect();
  const cases = [
    ['select * from no_such_table', [], 208, /Invalid object name 'no_such_table'/],
    ['select 1 / @z', [['z', TYPES.Int, 0]], 8134, /Divide by zero/],
    ['selec 1', [], 102, /Incorrect syntax near/],
    ["raiserror('书 %d', 16, 3, @n)", [['n', TYPES.Int, 7]], 50000, /^书 7$/],
  ];
  for (const [sql, params, number, message] of cases) {
    await assert.rejects(run(c, sql, params), (err) => {
      assert.equal(err.number, number, sql);
      assert.match(err.message, message);
      assert.ok(err.class >= 11, sql);
      return true;
    });
  }
  // The connection goes on after each.
  assert.deepEqual((await run(c, 'select @a', [['a', TYPES.Int, 5]])).rows, [[5]]);
  await close(c);
});

function bulkLoad(c, table, columns, rows, options = {}) {
  return new Promise((resolve, reject) => {
    const load = c.newBulkLoad(table, options, (err, rowCount) => (err ? reject(err) : resolve(rowCount)));
    for (const [name, type, opts] of columns) load.addColumn(name, type, { nullable: true, ...opts });
    c.execBulkLoad(load, rows);
  });
}

test('a bulk load inserts thousands of rows of every type, and a failing row undoes it', async () => {
  const c = await connect();
  await run(c, 'create table bl (k int primary key, v varchar(20), d datetime, m numeric(10,2), f float,' +
    ' b bit, t text, s smallint)');
  const columns = [['k', TYPES.Int, { nullable: false }], ['v', TYPES.NVarChar, { length: 20 }], ['d', TYPES.DateTime],
    ['m', TYPES.Decimal, { precision: 10, scale: 2 }], ['f', TYPES.Float], ['b', TYPES.Bit], ['t', TYPES.Text],
    ['s', TYPES.SmallInt]];
  const row = (k) => [k, k % 7 ? `书 ${k}` : null, new Date(Date.UTC(2007, 0, 1 + (k % 365), 8, 30)),
    k / 4, k * 1.5, k % 2 === 1, k % 1000 === 0 ? '长'.repeat(5000) : 'x', k % 100];
  const rows = Array.from({ length: 5000 }, (_, i) => row(i + 1));
  assert.equal(await bulkLoad(c, 'bl', columns, rows), 5000);
  assert.deepEqual((await run(c, 'select count(*), sum(k), count(v), sum(m), sum(s) from bl')).rows,
    [[5000, 12502500, 5000 - 714, 3125625, 247500]]);
  assert.deepEqual((await run(c, 'select * from bl where k in (1000, 4999) order by k')).rows, [row(1000), row(4999)]);
  // A duplicate key in the 3000th row of a second load: nothing of it stays.
  const again = Array.from({ length: 4000 }, (_, i) => row(i < 2999 ? 10000 + i : i === 2999 ? 42 : 20000 + i));
  await assert.rejects(bulkLoad(c, 'bl', columns, again), { number: 2627 });
  assert.deepEqual((await run(c, 'select count(*), max(k) from bl')).rows, [[5000, 5000]]);
  // Into a #temp table of the connection, and a table that is not there.
  await run(c, 'create table #bt (k int, v varchar(20))');
  assert.equal(await bulkLoad(c, '#bt', columns.slice(0, 2), rows.slice(0, 10).map((r) => r.slice(0, 2))), 10);
  assert.deepEqual((await run(c, 'select count(*) from #bt')).rows, [[10]]);
  await assert.rejects(bulkLoad(c, 'no_such_table', columns.slice(0, 1), [[1]]), { number: 208 });
  assert.deepEqual((await run(c, 'select count(*) from bl')).rows, [[5000]]);
  await run(c, 'drop table bl');
  await close(c);
});

test('a stored procedure called by name returns its rows, output parameters and status', async () => {
  const c = await connect();
  await run(c, 'create table pc (k int, name varchar(20))');
  await run(c, "create procedure add_pc @k int, @name varchar(20) = '无名', @total int output," +
    ' @echo varchar(30) output as\n' +
    'begin\n insert into pc values (@k, @name)\n select k, name from pc order by k\n' +
    ' set @total = (select sum(k) from pc)\n set @echo = @name + \'!\'\n' +
    ' if @k < 0 raiserror(\'负数 %d\', 16, 1, @k)\n return @k * 10\nend');
  const call = (params, name = 'add_pc') => new Promise((resolve, reject) => {
    const rows = [];
    const out = {};
    let status;
    const r = new Request(name, (err) => (err ? reject(err) : resolve({ rows, out, status })));
    for (const [param, type, value, options] of params) r.addParameter(param, type, value, options);
    r.addOutputParameter('total', TYPES.Int);
    r.addOutputParameter('echo', TYPES.VarChar, null, { length: 30 });
    r.on('row', (cols) => rows.push(cols.map((col) => col.value)));
    r.on('returnValue', (param, value) => (out[param] = value));
    r.on('doneProc', (rowCount, more, returnStatus) => (status = returnStatus));
    c.callProcedure(r);
  });
  assert.deepEqual(await call([['k', TYPES.Int, 2], ['name', TYPES.NVarChar, '书']]),
    { rows: [[2, '书']], out: { total: 2, echo: '书!' }, status: 20 });
  // A parameter left out takes its default.
  assert.deepEqual(await call([['k', TYPES.Int, 5]]),
    { rows: [[2, '书'], [5, '无名']], out: { total: 7, echo: '无名!' }, status: 50 });
  // An error inside names the procedure.
  await assert.rejects(call([['k', TYPES.Int, -1]]), (err) => {
    assert.equal(err.number, 50000);
    assert.equal(err.message, '负数 -1');
    assert.equal(err.procName, 'add_pc');
    return true;
  });
  await assert.rejects(call([['nope', TYPES.Int, 1]]), { number: 8145 });
  await assert.rejects(call([], 'no_such_procedure'), { number: 2812 });
  assert.deepEqual((await run(c, 'select count(*) from pc')).rows, [[3]]);
  await close(c);
});
