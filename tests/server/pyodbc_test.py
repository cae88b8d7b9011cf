"""libsql-server through pyodbc and FreeTDS's ODBC driver, as application code
written for SQL Server uses it: ? parameters of every type the engine has,
executemany, stored procedures, two connections with autocommit off working
side by side, each with its own #temp tables, a bulk load by freebcp, a
query cancelled by its time-out while another client logs in, a client that
disconnects during its query, logins naming a database, and SIGTERM while a
statement runs.

Run as: pyodbc_test.py LIBSQL_SERVER LIBSQL
"""

import datetime
import decimal
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import pyodbc

SERVER_BIN = LIBSQL_BIN = None
DRIVER = "/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so"
# A query that goes through some 300 million row combinations (a join for
# each row, each small): long enough to be cancelled or stopped part-way on
# any machine, in little memory.
LONG_QUERY = ("select count(*) from n a where a.k < "
              "(select count(*) from n b, n c where b.k > a.k and c.k > a.k)")


class Server:
    """libsql-server over a fresh database with a table n of 1000 rows."""

    def __init__(self, extra_args=()):
        self.dir = tempfile.mkdtemp(prefix="pyodbc_test_")
        self.db = os.path.join(self.dir, "lib.db")
        rows = ",".join("(%d)" % i for i in range(1000))
        subprocess.run([LIBSQL_BIN, "-b", "-d", self.db, "-Q",
                        "create table n (k int) insert into n values " + rows],
                       check=True, stdout=subprocess.DEVNULL)
        self.err = open(os.path.join(self.dir, "server.log"), "w+")
        self.proc = subprocess.Popen(
            [SERVER_BIN, "-d", self.db, "--listen", "127.0.0.1:0", *extra_args],
            stdout=subprocess.PIPE, stderr=self.err, text=True)
        line = self.proc.stdout.readline()
        if not line.startswith("listening on "):
            raise RuntimeError("libsql-server did not start: " + line)
        self.port = int(line.rsplit(":", 1)[1])

    def connect(self, autocommit=False, timeout=0, database=None):
        conn = ("DRIVER={%s};SERVER=127.0.0.1;PORT=%d;UID=sa;PWD=;"
                "TDS_Version=7.4;ClientCharset=UTF-8" % (DRIVER, self.port))
        if database:
            conn += ";DATABASE=" + database
        c = pyodbc.connect(conn, autocommit=autocommit, timeout=timeout)
        return c

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(10)
        self.proc.stdout.close()
        self.err.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def log(self):
        self.err.flush()
        with open(self.err.name) as f:
            return f.read()


class Clients(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def test_parameters_of_every_type_round_trip(self):
        c = self.server.connect(autocommit=True)
        cur = c.cursor()
        cur.execute("create table p (k int, c char(6), v varchar(20), t text, s smallint,"
                    " y tinyint, b bit, m numeric(12,3), d datetime, f float, r real,"
                    " mo money)")
        # Milliseconds: the driver sends datetime parameters to the precision
        # sp_datatype_info gives (datetime's 23 digits).
        when = datetime.datetime(2009, 10, 15, 13, 45, 30, 250000)
        cases = [
            (1, "ab", "中文书名", "长" * 3000, -32768, 255, True, decimal.Decimal("-12345.678"),
             when, 1.0 / 3, 0.5, decimal.Decimal("922337203685.4775")),
            (2, None, None, None, None, None, None, None, None, None, None, None),
            (3, "", "it's", "", 0, 0, False, decimal.Decimal("0.001"),
             datetime.datetime(1753, 1, 1), -1e300, -2.5, decimal.Decimal("-0.0001")),
        ]
        for row in cases:
            cur.execute("insert into p values (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", *row)
            self.assertEqual(cur.rowcount, 1)
        for row in cases:
            got = cur.execute("select k, rtrim(c), v, t, s, y, b, m, d, f, r, mo from p"
                              " where k = ?", row[0]).fetchone()
            self.assertEqual(tuple(got), row)
        # A parameter in a condition, the same statement again with other
        # values, and an integer past int's range.
        self.assertEqual(cur.execute("select count(*) from p where v = ? or k > ?",
                                     "it's", 1).fetchone()[0], 2)
        self.assertEqual(cur.execute("select ? + 1", 3000000000).fetchone()[0], 3000000001)
        # An error through a parameterised statement keeps its number.
        with self.assertRaises(pyodbc.Error) as e:
            cur.execute("insert into p (k, y) values (?, ?)", 9, 300)
        self.assertIn("8115", str(e.exception.args))
        cur.execute("drop table p")
        # SQLGetTypeInfo, which the driver answers with sp_datatype_info.
        info = cur.getTypeInfo(pyodbc.SQL_TYPE_TIMESTAMP).fetchall()
        self.assertEqual([(r.type_name, r.column_size) for r in info], [("datetime", 23)])
        self.assertEqual(len(cur.getTypeInfo(0).fetchall()), 19)
        self.assertEqual(cur.getTypeInfo(pyodbc.SQL_GUID).fetchall(), [])

    def test_executemany_inserts_every_row(self):
        c = self.server.connect()
        cur = c.cursor()
        cur.execute("create table many (k int primary key, name varchar(10))")
        cur.executemany("insert into many values (?, ?)",
                        [(i, "书%d" % i) for i in range(200)])
        c.commit()
        self.assertEqual(tuple(cur.execute("select count(*), sum(k) from many").fetchone()),
                         (200, 19900))
        self.assertEqual(cur.execute("select name from many where k = ?", 199).fetchone()[0],
                         "书199")
        cur.execute("drop table many")
        c.commit()

    def test_two_connections_with_autocommit_off_work_side_by_side(self):
        a = self.server.connect()
        b = self.server.connect()
        ca, cb = a.cursor(), b.cursor()
        ca.execute("create table left_t (k int)")
        a.commit()
        cb.execute("create table right_t (k int)")
        b.commit()
        # Both have a transaction open (the driver begins one after each
        # commit); each writes its own table and reads the other's.
        ca.execute("insert into left_t values (1)")
        cb.execute("insert into right_t values (2)")
        self.assertEqual(cb.execute("select count(*) from n").fetchone()[0], 1000)
        self.assertEqual(ca.execute("select count(*) from n").fetchone()[0], 1000)
        # Reading the other's uncommitted table waits: LOCK_TIMEOUT says how long.
        cb.execute("set lock_timeout 200")
        with self.assertRaises(pyodbc.Error) as e:
            cb.execute("select * from left_t").fetchall()
        self.assertIn("1222", str(e.exception.args))
        a.commit()
        self.assertEqual(cb.execute("select k from left_t").fetchall()[0][0], 1)
        b.commit()
        ca.execute("drop table left_t")
        ca.execute("drop table right_t")
        a.commit()

    def test_stored_procedures_are_called_with_call_and_exec(self):
        c = self.server.connect(autocommit=True)
        cur = c.cursor()
        cur.execute("create procedure below_n @below int, @n int = 0 output as\n"
                    "select count(*) from n where k < @below\n"
                    "set @n = @below * 2\n"
                    "return 7")
        # The driver sends {CALL} as a remote procedure call by name.
        self.assertEqual(cur.execute("{CALL below_n(?)}", 10).fetchall()[0][0], 10)
        self.assertEqual(cur.execute("{CALL below_n(?)}", 500).fetchall()[0][0], 500)
        # EXEC inside a parameterised batch, its status and output read after.
        cur.execute("declare @r int, @o int\n"
                    "exec @r = below_n ?, @o output\n"
                    "select @r, @o", 20)
        self.assertEqual(cur.fetchall()[0][0], 20)
        self.assertTrue(cur.nextset())
        self.assertEqual(tuple(cur.fetchone()), (7, 40))
        with self.assertRaises(pyodbc.Error) as e:
            cur.execute("{CALL no_such_procedure(?)}", 1)
        self.assertIn("2812", str(e.exception.args))
        cur.execute("drop procedure below_n")

    @unittest.skipUnless(shutil.which("freebcp"), "freebcp (Debian's freetds-bin) is not installed")
    def test_freebcp_loads_thousands_of_rows_and_a_failing_row_undoes_the_load(self):
        c = self.server.connect(autocommit=True)
        cur = c.cursor()
        cur.execute("create table loaded (k int primary key, v varchar(20), d datetime,"
                    " m numeric(10,2), f float, b bit, s smallint, mo money, t text)")
        conf = os.path.join(self.server.dir, "freetds.conf")
        with open(conf, "w") as f:
            f.write("[lib]\n\thost = 127.0.0.1\n\tport = %d\n\ttds version = 7.4\n"
                    "\tclient charset = UTF-8\n" % self.server.port)

        def load(rows):
            data = os.path.join(self.server.dir, "rows.txt")
            with open(data, "w", encoding="utf-8") as f:
                for r in rows:
                    f.write("\t".join("" if v is None else str(v) for v in r) + "\n")
            return subprocess.run(["freebcp", "loaded", "in", data, "-S", "lib", "-U", "sa",
                                   "-P", "", "-c"], env=dict(os.environ, FREETDSCONF=conf),
                                  capture_output=True, text=True, timeout=60)

        def row(k):
            return (k, None if k % 7 == 0 else "书%d" % k,
                    "2007-%02d-%02d 08:30:00" % (k % 12 + 1, k % 28 + 1), "%d.%02d" % (k, k % 100),
                    k / 4, k % 2, k % 1000, "%d.5" % k, "长" * (k % 5))
        done = load([row(k) for k in range(1, 3001)])
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertIn("3000 rows copied", done.stdout)
        got = cur.execute("select count(*), sum(k), count(v), sum(m), sum(s), sum(mo),"
                          " sum(datalength(t)) from loaded").fetchone()
        self.assertEqual(tuple(got), (3000, 4501500, 3000 - 428, decimal.Decimal("4502985.00"),
                                      1498500, decimal.Decimal("4503000.0000"), 12000))
        self.assertEqual(tuple(cur.execute("select v, d, f, b, t from loaded where k = 1234")
                               .fetchone()),
                         ("书1234", datetime.datetime(2007, 11, 3, 8, 30), 308.5, False, "长" * 4))
        # freebcp sends batches of 1000 rows, each committed as it ends. A
        # duplicate key in the 1500th row: the first batch stays, nothing of
        # the second.
        failed = load([row(10 if k == 6500 else k) for k in range(5001, 7001)])
        self.assertNotEqual(failed.returncode, 0)
        self.assertIn("Msg 2627", failed.stderr)
        self.assertEqual(tuple(cur.execute("select count(*), max(k) from loaded").fetchone()),
                         (4000, 6000))
        cur.execute("drop table loaded")

    def test_each_connection_has_its_own_temp_tables_dropped_when_it_goes(self):
        a = self.server.connect(autocommit=True)
        b = self.server.connect(autocommit=True)
        ca, cb = a.cursor(), b.cursor()
        ca.execute("create table #t (k int)")
        cb.execute("create table #t (v varchar(5))")
        ca.execute("insert into #t values (?)", 1)
        cb.executemany("insert into #t values (?)", [("x",), ("y",)])
        self.assertEqual(ca.execute("select k from #t").fetchall()[0][0], 1)
        self.assertEqual([r[0] for r in cb.execute("select v from #t order by v")], ["x", "y"])
        a.close()
        # Gone with its connection: the name is free in a new one, and the
        # other connection's #t is untouched.
        c = self.server.connect(autocommit=True)
        self.assertIsNone(c.cursor().execute("select object_id('tempdb..#t')").fetchone()[0])
        self.assertEqual(cb.execute("select count(*) from #t").fetchone()[0], 2)
        b.close()
        c.close()

    def test_a_cancelled_query_leaves_the_connection_usable_and_logins_go_on(self):
        c = self.server.connect(autocommit=True)
        c.timeout = 1
        cur = c.cursor()
        result = {}

        def run():
            start = time.monotonic()
            try:
                cur.execute(LONG_QUERY).fetchall()
                result["error"] = None
            except pyodbc.Error as e:
                result["error"] = e
            result["seconds"] = time.monotonic() - start

        t = threading.Thread(target=run)
        t.start()
        time.sleep(0.3)
        # A new client logs in and works while the long query runs.
        start = time.monotonic()
        other = self.server.connect(autocommit=True)
        self.assertEqual(other.cursor().execute("select 1").fetchone()[0], 1)
        login_seconds = time.monotonic() - start
        t.join(30)
        self.assertIsNotNone(result.get("error"), "the query was not cancelled")
        self.assertIn("HYT00", str(result["error"].args))
        self.assertLess(result["seconds"], 5)
        self.assertLess(login_seconds, 2)
        c.timeout = 0
        self.assertEqual(cur.execute("select count(*) from n").fetchone()[0], 1000)

    def test_a_disconnected_clients_statement_is_stopped(self):
        # A client of its own, killed while its long query runs: the server
        # stops the statement, and the next statement runs at once.
        script = ("import pyodbc, sys; c = pyodbc.connect(sys.argv[1], autocommit=True); "
                  "print('connected', flush=True); c.cursor().execute(sys.argv[2]).fetchall()")
        conn = ("DRIVER={%s};SERVER=127.0.0.1;PORT=%d;UID=sa;PWD=;TDS_Version=7.4"
                % (DRIVER, self.server.port))
        client = subprocess.Popen([sys.executable, "-c", script, conn, LONG_QUERY],
                                  stdout=subprocess.PIPE, text=True)
        self.assertEqual(client.stdout.readline().strip(), "connected")
        time.sleep(0.5)
        client.kill()
        client.wait()
        client.stdout.close()
        start = time.monotonic()
        other = self.server.connect(autocommit=True)
        self.assertEqual(other.cursor().execute("select count(*) from n").fetchone()[0], 1000)
        self.assertLess(time.monotonic() - start, 3)

    def test_logins_to_master_are_accepted_and_unknown_databases_refused(self):
        self.assertEqual(self.server.connect(database="master").cursor()
                         .execute("select 1").fetchone()[0], 1)
        self.assertEqual(self.server.connect(database="lib").cursor()
                         .execute("select db_name()").fetchone()[0], "lib")
        # 4060, then 18456, which the driver reports.
        with self.assertRaises(pyodbc.Error) as e:
            self.server.connect(database="nosuch")
        self.assertIn("18456", str(e.exception.args))
        self.assertIn("asked for database 'nosuch'", self.server.log())


class Shutdown(unittest.TestCase):
    def test_sigterm_while_busy_stops_within_two_seconds(self):
        server = Server()
        try:
            c = server.connect(autocommit=True)
            c.cursor().execute("create table kept (k int) insert into kept values (1)")
            busy = server.connect()
            busy.cursor().execute("insert into kept values (2)")  # left open
            runner = server.connect(autocommit=True)

            def run():
                try:
                    runner.cursor().execute(LONG_QUERY).fetchall()
                except pyodbc.Error:
                    pass

            t = threading.Thread(target=run, daemon=True)
            t.start()
            time.sleep(0.5)
            start = time.monotonic()
            server.proc.send_signal(signal.SIGTERM)
            code = server.proc.wait(10)
            self.assertLess(time.monotonic() - start, 2.0, server.log())
            self.assertEqual(code, 0, server.log())
            out = subprocess.run([LIBSQL_BIN, "-h", "-1", "-W", "-d", server.db, "-Q",
                                  "select k from kept"], capture_output=True, text=True)
            self.assertEqual(out.stdout.split(), ["1"], "committed kept, open rolled back")
        finally:
            server.stop()


if __name__ == "__main__":
    SERVER_BIN, LIBSQL_BIN = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
