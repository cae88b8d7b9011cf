#!/usr/bin/env python3
"""Measures what the whole upgrade of a large library costs on the embedded
engine, and how far the programs are from the engine's own speed.

From one generated database of the release before March 2005
(tools/gen_library.py, bench size by default: 200,000 catalogue records,
500,000 copies, 50,000 readers, 200,000 loans) it makes a fresh copy for each
of four runs, one after the other:

  cli      libupgrade-cli, as an administrator runs it: wall time, peak memory
  cli+log  libupgrade-cli --log: the same with every statement written to the
           log, which gives the statement time of each step
  replay   the logged statements sent straight into the engine with libsql,
           each statement one batch as the utility sent it: the floor
  window   the upgrade window on Qt's offscreen platform (bench_window), from
           the click on the start button to the closing message box
           (with --framed-window also a window that paints at most once a
           frame, to show what the painting costs)

and prints the figures and the two ratios against their targets: the utility
within 1.25x of the replayed statements, the window within 1.5x of the command
line. Each run must end as the others do (same signs, same catalogue); a run
that fails or ends differently stops the benchmark with its message.

With --tds it also runs libupgrade-cli through unixODBC, the FreeTDS driver
and libsql-server (a data source of a temporary odbc.ini, TDS 7.4, GBK), as a
library runs it against SQL Server, and prints that run's time over the
embedded run's (target 2x: the walks send their statements in batches, one
round trip for many records), at the chosen size and at a small one
(--tds-small, 20,000 records by default, made once in --work/tds-small). The
server's own time is inside the figure; the peak memory is the client's.
Not part of the test command.

    tools/bench_upgrade.py --cli-only --tds      # only the two command-line runs

    tools/bench_upgrade.py                       # build/ programs, bench size
    tools/bench_upgrade.py --build build-x --records 20000 --copies 50000 \\
        --readers 5000 --loans 20000             # a smaller library

With --scale it instead upgrades generated libraries of 50,000, 200,000 and
1,000,000 catalogue records (copies, readers and loans in the bench size's
proportions: 2.5 copies, 0.25 readers and 1 loan a record) with libupgrade-cli
only, and prints per size the wall time, the peak memory, the time per record
and the peak over the upgraded database file's size, then the growth factors
between sizes (time and memory grown per size grown; 1.00 is a straight
line). The largest size needs about 2.2 GB of memory and 2 GB of disk in
--work; on a 2-core machine the whole scale run takes about ten minutes.

    tools/bench_upgrade.py --build build-rel --scale
    tools/bench_upgrade.py --scale --scale-sizes 20000,100000   # other sizes
    tools/bench_upgrade.py --scale --scale-runs 3   # best of three runs per size

Peak memory is the largest resident set of the process (getrusage). Runs are
sequential; the machine should otherwise be idle for figures worth comparing.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)

TARGET_CLI_OVER_REPLAY = 1.25
TARGET_WINDOW_OVER_CLI = 1.5
TARGET_TDS_OVER_CLI = 2.0
TDS_DRIVER = "/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so"


def run(argv, stdout=subprocess.DEVNULL, stderr=None, env=None):
    """Runs argv to its end; returns (exit code, wall seconds, peak RSS in MiB)."""
    start = time.monotonic()
    p = subprocess.Popen(argv, stdout=stdout, stderr=stderr, env=env)
    _, status, usage = os.wait4(p.pid, 0)
    wall = time.monotonic() - start
    p.returncode = os.waitstatus_to_exitcode(status)
    return p.returncode, wall, usage.ru_maxrss / 1024.0


def copy_db(src, dst):
    for suffix in ("", "-journal", ".lock"):
        if os.path.exists(dst + suffix):
            os.remove(dst + suffix)
    shutil.copyfile(src, dst)
    if os.path.exists(src + "-journal"):
        shutil.copyfile(src + "-journal", dst + "-journal")


def query(libsql, db, sql):
    out = subprocess.run([libsql, "-b", "-W", "-h", "-1", "-d", db, "-Q", sql],
                         check=True, capture_output=True, text=True).stdout
    return [line for line in out.splitlines() if line]


def fingerprint(libsql, db):
    """What every run must agree on: the signs and the shape of the catalogue."""
    return (query(libsql, db, "select vm_mess from ver_manage"),
            query(libsql, db, "select count(*) from sysobjects"),
            query(libsql, db, "select count(*) from syscolumns"),
            query(libsql, db, "select count(*) from sysindexes"))


def fail(message):
    print("bench_upgrade: " + message, file=sys.stderr)
    sys.exit(1)


def tail(path, n=5):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return "".join(f.readlines()[-n:])
    except OSError:
        return ""


def read_log(path):
    """Statements of a --log file, in order."""
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f]


def write_replay(entries, path):
    """The logged statements as a libsql script, one batch each."""
    with open(path, "w", encoding="utf-8", newline="\n") as out:
        for e in entries:
            out.write(e["sql"])
            out.write("\nGO\n")


def upgrade_over_tds(args, bindir, base, data_dir, results, w, key="tds"):
    """libupgrade-cli through unixODBC, FreeTDS and libsql-server on a copy of
    base; returns the database file once the server has stopped."""
    server = os.path.join(bindir, "libsql-server")
    if not os.access(server, os.X_OK):
        fail("%s is not built (ninja -C %s -j2 libsql-server)" % (server, args.build))
    db = w("tds.db")
    copy_db(base, db)
    srv = subprocess.Popen([server, "-d", db, "--listen", "127.0.0.1:0", "--login", "sa:bench"],
                           stdout=subprocess.PIPE, stderr=open(w("tds-server.err"), "w"), text=True)
    line = srv.stdout.readline().strip()
    if not line.startswith("listening on "):
        srv.kill()
        fail("libsql-server did not start: %s%s" % (line, tail(w("tds-server.err"))))
    port = line.rsplit(":", 1)[1]
    odbc = w("odbc")
    os.makedirs(odbc, exist_ok=True)
    with open(os.path.join(odbc, "odbcinst.ini"), "w") as f:
        f.write("[FreeTDS]\nDriver=%s\n" % TDS_DRIVER)
    with open(os.path.join(odbc, "odbc.ini"), "w") as f:
        f.write("[LibBench]\nDriver=FreeTDS\nServer=127.0.0.1\nPort=%s\nTDS_Version=7.4\n"
                "ClientCharset=GBK\n" % port)
    env = dict(os.environ, ODBCSYSINI=odbc, ODBCINI=os.path.join(odbc, "odbc.ini"),
               LIBUPGRADE_PASSWORD="bench")
    print("run tds      ...", end=" ", flush=True)
    code, wall, rss = run([os.path.join(bindir, "libupgrade-cli"), "--backed-up", "--data-source",
                           "LibBench", "--user", "sa", "--data-dir", data_dir],
                          stdout=open(w("tds.out"), "w"), stderr=open(w("tds.err"), "w"), env=env)
    srv.terminate()
    srv.wait()
    if code:
        fail("libupgrade-cli through libsql-server failed (exit %d):\n%s%s"
             % (code, tail(w("tds.err")), tail(w("tds-server.err"))))
    print("%.1f s, %.0f MiB" % (wall, rss), flush=True)
    results[key] = {"s": wall, "rss_mib": rss}
    return db


def generate_scaled(libsql, work, records, reuse):
    """The old-release database of a library of `records` catalogue records in
    the bench size's proportions, made in work (kept when reuse finds it)."""
    os.makedirs(work, exist_ok=True)
    w = lambda name: os.path.join(work, name)
    base = w("old-release.db")
    if reuse and os.path.exists(base):
        return base
    print("%d records: generating and loading" % records, flush=True)
    gen = [sys.executable, os.path.join(HERE, "gen_library.py"), "--size", "bench",
           "--records", str(records), "--copies", str(records * 5 // 2),
           "--readers", str(records // 4), "--loans", str(records)]
    subprocess.run(gen + ["-o", w("library.sql")], check=True)
    for suffix in ("", "-journal", ".lock"):
        if os.path.exists(base + suffix):
            os.remove(base + suffix)
    code, _, _ = run([libsql, "-b", "-1", "-d", base, "-i", w("library.sql")],
                     stderr=open(w("load.err"), "w"))
    if code:
        fail("loading the generated script failed:\n" + tail(w("load.err")))
    os.remove(w("library.sql"))
    return base


def tds_small(args, bindir, libsql, cli, data_dir, results):
    """The embedded run and the run through libsql-server of a small library;
    prints and records their ratio."""
    work = os.path.join(args.work, "tds-small")
    base = generate_scaled(libsql, work, args.tds_small, True)
    w = lambda name: os.path.join(work, name)
    db = w("cli.db")
    copy_db(base, db)
    print("small: run cli ...", end=" ", flush=True)
    code, wall, rss = run([cli, "--backed-up", "--data-source", "embedded:" + db,
                           "--data-dir", data_dir],
                          stdout=open(w("cli.out"), "w"), stderr=open(w("cli.err"), "w"))
    if code:
        fail("libupgrade-cli failed on the small library (exit %d):\n%s" % (code, tail(w("cli.err"))))
    print("%.1f s, %.0f MiB" % (wall, rss), flush=True)
    results["small-cli"] = {"s": wall, "rss_mib": rss, "records": args.tds_small}
    print("small: ", end="")
    tds_db = upgrade_over_tds(args, bindir, base, data_dir, results, w, "small-tds")
    if fingerprint(libsql, tds_db) != fingerprint(libsql, db):
        fail("the small library's run through libsql-server ended differently from the embedded one")
    ratio = results["small-tds"]["s"] / wall
    results["small through TDS / embedded"] = ratio
    print("through TDS / embedded at %d records: %.2fx (target <= %.2fx: %s)"
          % (args.tds_small, ratio, TARGET_TDS_OVER_CLI,
             "met" if ratio <= TARGET_TDS_OVER_CLI else "MISSED"), flush=True)


SCALE_TARGET_TIME_PER_RECORD = 1.3  # largest size over smallest
SCALE_TARGET_PEAK_OVER_FILE = 2.0


def scale(args, libsql, cli, data_dir):
    """Upgrades one generated library per size; prints the table."""
    sizes = [int(n) for n in args.scale_sizes.split(",")]
    rows = []
    for records in sizes:
        work = os.path.join(args.work, "scale-%d" % records)
        w = lambda name: os.path.join(work, name)
        base = generate_scaled(libsql, work, records, args.reuse)
        db = w("upgraded.db")
        print("%d records: upgrading ..." % records, end=" ", flush=True)
        # With --scale-runs N each size is upgraded N times from the same old
        # file: the fastest run's time (the machine's own noise is the
        # slower runs') and the largest peak count.
        wall, rss = None, 0.0
        for _ in range(args.scale_runs):
            copy_db(base, db)
            code, s, peak = run([cli, "--backed-up", "--data-source", "embedded:" + db,
                                 "--data-dir", data_dir],
                                stdout=open(w("cli.out"), "w"), stderr=open(w("cli.err"), "w"))
            if code:
                fail("libupgrade-cli failed on %d records (exit %d):\n%s"
                     % (records, code, tail(w("cli.err"))))
            print("%.1f s, %.0f MiB;" % (s, peak), end=" ", flush=True)
            wall = s if wall is None else min(wall, s)
            rss = max(rss, peak)
        file_mib = os.path.getsize(db) / 2**20
        print("kept %.1f s, %.0f MiB" % (wall, rss), flush=True)
        rows.append({"records": records, "s": wall, "rss_mib": rss, "db_mib": file_mib,
                     "old_db_mib": os.path.getsize(base) / 2**20})
        os.remove(db)
    print()
    print("%10s %9s %9s %11s %12s %10s" % ("records", "wall s", "peak MiB", "upgraded MiB",
                                             "us/record", "peak/file"))
    for r in rows:
        r["us_per_record"] = 1e6 * r["s"] / r["records"]
        r["peak_over_file"] = r["rss_mib"] / r["db_mib"]
        print("%10d %9.1f %9.0f %11.0f %12.1f %9.2fx" % (r["records"], r["s"], r["rss_mib"], r["db_mib"],
                                                          r["us_per_record"], r["peak_over_file"]))
    print()
    print("growth between sizes (grown by / size grown by; 1.00 is a straight line):")
    for a, b in zip(rows, rows[1:]):
        k = b["records"] / a["records"]
        print("  %d -> %d (x%.1f): time x%.2f (%.2f), memory x%.2f (%.2f)"
              % (a["records"], b["records"], k, b["s"] / a["s"], b["s"] / a["s"] / k,
                 b["rss_mib"] / a["rss_mib"], b["rss_mib"] / a["rss_mib"] / k))
    per_record = rows[-1]["us_per_record"] / rows[0]["us_per_record"]
    print("time per record, %d over %d: %.2fx (target <= %.2fx: %s)"
          % (rows[-1]["records"], rows[0]["records"], per_record, SCALE_TARGET_TIME_PER_RECORD,
             "met" if per_record <= SCALE_TARGET_TIME_PER_RECORD else "MISSED"))
    for r in rows:
        print("peak over upgraded file at %d: %.2fx (target <= %.1fx: %s)"
              % (r["records"], r["peak_over_file"], SCALE_TARGET_PEAK_OVER_FILE,
                 "met" if r["peak_over_file"] <= SCALE_TARGET_PEAK_OVER_FILE else "MISSED"))
    with open(os.path.join(args.work, "scale.json"), "w") as f:
        json.dump(rows, f, indent=1)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", default=os.path.join(TOP, "build"), help="build folder (default build/)")
    p.add_argument("--work", default="/tmp/libupgrade-bench", help="folder for the databases and logs")
    p.add_argument("--size", default="bench", help="gen_library.py size preset (default bench)")
    for name in ("records", "copies", "readers", "loans"):
        p.add_argument("--" + name, type=int, help="overrides the preset's " + name)
    p.add_argument("--reuse", action="store_true",
                   help="keep the generated database of an earlier run of the same size")
    p.add_argument("--no-window", action="store_true", help="leave out the window's run")
    p.add_argument("--cli-only", action="store_true",
                   help="only the libupgrade-cli run: its wall time and peak memory (to compare "
                        "two builds, --build naming each)")
    p.add_argument("--framed-window", action="store_true",
                   help="also run the window with repaints and pumps limited to one per 16 ms "
                        "(bench_window --frame-ms 16), to see what the window's painting costs")
    p.add_argument("--tds", action="store_true",
                   help="also run libupgrade-cli through FreeTDS and libsql-server, at the chosen "
                        "size and at a small one")
    p.add_argument("--tds-small", type=int, default=20000,
                   help="catalogue records of the small library of --tds (default 20000)")
    p.add_argument("--scale", action="store_true",
                   help="upgrade libraries of several sizes with libupgrade-cli and print how time "
                        "and memory grow")
    p.add_argument("--scale-sizes", default="50000,200000,1000000",
                   help="catalogue records of each --scale library (default 50000,200000,1000000)")
    p.add_argument("--scale-runs", type=int, default=1,
                   help="upgrade each --scale library this many times: the fastest time and the "
                        "largest peak are kept (default 1)")
    args = p.parse_args()
    if args.scale_runs < 1:
        p.error("--scale-runs must be at least 1")

    bindir = os.path.join(os.path.abspath(args.build), "bin")
    libsql, cli, window = (os.path.join(bindir, n) for n in ("libsql", "libupgrade-cli", "bench_window"))
    if args.cli_only or args.scale:
        args.no_window = True
    for prog in (libsql, cli) + (() if args.no_window else (window,)):
        if not os.access(prog, os.X_OK):
            fail("%s is not built (ninja -C %s -j2 libsql libupgrade-cli bench_window)" % (prog, args.build))
    data_dir = os.path.join(TOP, "data", "sample")
    os.makedirs(args.work, exist_ok=True)
    if args.scale:
        scale(args, libsql, cli, data_dir)
        return
    w = lambda name: os.path.join(args.work, name)

    gen = [sys.executable, os.path.join(HERE, "gen_library.py"), "--size", args.size, "--progress"]
    for name in ("records", "copies", "readers", "loans"):
        if getattr(args, name) is not None:
            gen += ["--" + name, str(getattr(args, name))]
    size_key = " ".join(gen[2:])
    base = w("old-release.db")
    results = {"size": size_key}

    # The old-release database, made once per size.
    have = args.reuse and os.path.exists(base) and os.path.exists(w("size.txt")) and \
        open(w("size.txt")).read() == size_key
    if not have:
        print("generating %s" % w("library.sql"), flush=True)
        subprocess.run(gen + ["-o", w("library.sql")], check=True)
        for suffix in ("", "-journal", ".lock"):
            if os.path.exists(base + suffix):
                os.remove(base + suffix)
        print("loading it with libsql", flush=True)
        code, wall, rss = run([libsql, "-b", "-1", "-d", base, "-i", w("library.sql")],
                              stderr=open(w("load.err"), "w"))
        if code:
            fail("loading the generated script failed:\n" + tail(w("load.err")))
        results["load"] = {"s": wall, "rss_mib": rss}
        with open(w("size.txt"), "w") as f:
            f.write(size_key)
    counts = [int(query(libsql, base, "select count(*) from " + t)[0])
              for t in ("lib_bianma", "lib_tiaoma", "lib_people", "lib_jieshu")]
    print("old-release database: %d catalogue records, %d copies, %d readers, %d loans, %.0f MiB"
          % (*counts, os.path.getsize(base) / 2**20), flush=True)
    results["rows"] = dict(zip(("records", "copies", "readers", "loans"), counts))

    def upgrade(name, extra):
        db = w(name + ".db")
        copy_db(base, db)
        print("run %-8s ..." % name, end=" ", flush=True)
        code, wall, rss = run([cli, "--backed-up", "--data-source", "embedded:" + db,
                               "--data-dir", data_dir] + extra,
                              stdout=open(w(name + ".out"), "w"), stderr=open(w(name + ".err"), "w"))
        if code:
            fail("libupgrade-cli %s failed (exit %d):\n%s" % (name, code, tail(w(name + ".err"))))
        print("%.1f s, %.0f MiB" % (wall, rss), flush=True)
        results[name] = {"s": wall, "rss_mib": rss}
        return db

    cli_db = upgrade("cli", [])
    expected = fingerprint(libsql, cli_db)
    if args.tds:
        tds_small(args, bindir, libsql, cli, data_dir, results)
        if fingerprint(libsql, upgrade_over_tds(args, bindir, base, data_dir, results, w)) != expected:
            fail("the run through libsql-server ended differently from the embedded one")
        ratio = results["tds"]["s"] / results["cli"]["s"]
        print("through TDS / embedded: %.2fx (target <= %.2fx: %s)"
              % (ratio, TARGET_TDS_OVER_CLI, "met" if ratio <= TARGET_TDS_OVER_CLI else "MISSED"),
              flush=True)
    if args.cli_only:
        with open(w("results.json"), "w") as f:
            json.dump(results, f, indent=2)
        return
    logged_db = upgrade("cli+log", ["--log", w("statements.jsonl")])
    if fingerprint(libsql, logged_db) != expected:
        fail("the logged run ended differently from the first one")

    entries = read_log(w("statements.jsonl"))
    write_replay(entries, w("replay.sql"))
    replay_db = w("replay.db")
    copy_db(base, replay_db)
    print("run replay   ...", end=" ", flush=True)
    code, wall, rss = run([libsql, "-d", replay_db, "-i", w("replay.sql")],
                          stderr=open(w("replay.err"), "w"))
    print("%.1f s, %.0f MiB" % (wall, rss), flush=True)
    results["replay"] = {"s": wall, "rss_mib": rss}
    refused_logged = sum(e["outcome"] != "ok" for e in entries)
    with open(w("replay.err"), encoding="utf-8", errors="replace") as f:
        replay_messages = sum(line.startswith("Msg ") and not line.startswith("Msg 3621,") for line in f)
    if fingerprint(libsql, replay_db) != expected:
        fail("the replayed statements ended differently from the utility's run")

    if not args.no_window:
        win_db = w("window.db")
        copy_db(base, win_db)
        print("run window   ...", end=" ", flush=True)
        code, wall, rss = run([window, win_db, data_dir], stdout=open(w("window.out"), "w"),
                              stderr=open(w("window.err"), "w"))
        if code:
            fail("the window's run failed (exit %d): %s%s" % (code, tail(w("window.out")), tail(w("window.err"))))
        run_s = json.loads(tail(w("window.out"), 1))["run_s"]
        print("%.1f s (%.1f s from the click), %.0f MiB" % (wall, run_s, rss), flush=True)
        results["window"] = {"s": wall, "click_to_box_s": run_s, "rss_mib": rss}
        if fingerprint(libsql, win_db) != expected:
            fail("the window's run ended differently from the command line's")
    if not args.no_window and args.framed_window:
        win_db = w("window-framed.db")
        copy_db(base, win_db)
        print("run framed   ...", end=" ", flush=True)
        code, wall, rss = run([window, "--frame-ms", "16", win_db, data_dir],
                              stdout=open(w("window-framed.out"), "w"),
                              stderr=open(w("window-framed.err"), "w"))
        if code:
            fail("the frame-limited window's run failed (exit %d): %s" % (code, tail(w("window-framed.out"))))
        print("%.1f s, %.0f MiB" % (wall, rss), flush=True)
        results["window-framed"] = {"s": wall, "rss_mib": rss}
        if fingerprint(libsql, win_db) != expected:
            fail("the frame-limited window's run ended differently from the command line's")

    # Statement time per step, from the log.
    steps = {}
    for e in entries:
        s = steps.setdefault(e["step"], {"statements": 0, "ms": 0.0, "rows": 0})
        s["statements"] += 1
        s["ms"] += e["ms"]
        s["rows"] += max(e.get("rows", 0), 0)
    total_ms = sum(s["ms"] for s in steps.values())
    results["steps"] = steps

    print()
    print("%-14s %10s %12s %10s %6s" % ("step", "statements", "rows", "stmt s", "share"))
    for name, s in steps.items():
        print("%-14s %10d %12d %10.2f %5.1f%%"
              % (name, s["statements"], s["rows"], s["ms"] / 1000, 100 * s["ms"] / max(total_ms, 1e-9)))
    print("%-14s %10d %12s %10.2f" % ("all", len(entries), "", total_ms / 1000))
    print()
    print("%-34s %9s %9s" % ("run", "wall s", "peak MiB"))
    for name, label in (("cli", "libupgrade-cli"), ("cli+log", "libupgrade-cli --log"),
                        ("replay", "statements replayed with libsql"), ("window", "upgrade window (offscreen)"),
                        ("window-framed", "window, painting once per 16 ms"),
                        ("tds", "libupgrade-cli through libsql-server")):
        if name in results:
            print("%-34s %9.1f %9.0f" % (label, results[name]["s"], results[name]["rss_mib"]))
    print("statements %d; refused and passed over: %d in the log; server messages in the replay: %d"
          % (len(entries), refused_logged, replay_messages))
    print("time inside statements (log) %.1f s; libupgrade-cli --log outside them %.1f s"
          % (total_ms / 1000, results["cli+log"]["s"] - total_ms / 1000))
    print()
    ratios = [("libupgrade-cli / replayed statements", results["cli"]["s"] / results["replay"]["s"],
               TARGET_CLI_OVER_REPLAY)]
    if "tds" in results:
        ratios.append(("through TDS / embedded (libupgrade-cli)",
                       results["tds"]["s"] / results["cli"]["s"], TARGET_TDS_OVER_CLI))
    if "small-tds" in results:
        ratios.append(("through TDS / embedded, %d records" % args.tds_small,
                       results["small-tds"]["s"] / results["small-cli"]["s"], TARGET_TDS_OVER_CLI))
    if "window" in results:
        ratios.append(("window / libupgrade-cli", results["window"]["s"] / results["cli"]["s"],
                       TARGET_WINDOW_OVER_CLI))
    for label, ratio, target in ratios:
        print("%-38s %5.2fx  (target <= %.2fx: %s)" % (label, ratio, target,
                                                       "met" if ratio <= target else "MISSED"))
        results[label] = ratio
    with open(w("results.json"), "w") as f:
        json.dump(results, f, indent=1)
    print("\nfigures in %s" % w("results.json"))


if __name__ == "__main__":
    main()
