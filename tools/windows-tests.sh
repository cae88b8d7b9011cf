#!/bin/sh
# The Windows programs and suites under Wine (called by tools/build-windows.sh
# --test, after the Linux build in build/):
#   - the text, port, engine, db, refdata and steps suites;
#   - libupgrade-cli.exe upgrading the pre-2005 fixture on a database file,
#     once straight through and once killed part-way and run again, and
#     through ODBC (Wine's odbc32 -> the host's unixODBC -> FreeTDS ->
#     libsql-server), each ending with the catalogue and rows of the Linux
#     run;
#   - the installer installing and uninstalling silently.
# All in one Wine prefix under the build folder, one wineserver session, code
# page 936 (LANG=zh_CN.UTF-8).
#
# A kernel without 32-bit support (ia32_emulation off, or a virtual machine
# that gives none) cannot run 32-bit Wine: there the suites and the
# end-to-end runs use a 64-bit build of the same sources
# (build-windows/test64) under wine64, the 32-bit programs are checked only as
# files (PE32, imports, version), and the script says so at its start and its
# end. Where 32-bit programs run, the 32-bit build itself is tested.
set -eu
cd "$(dirname "$0")/.."
WIN=${1:-build-windows}
LINUX=build
for t in libsql libsql-server libupgrade-cli; do
  [ -x "$LINUX/bin/$t" ] || { echo "windows-tests: $LINUX/bin/$t is missing (build Linux first)" >&2; exit 1; }
done

export WINEDEBUG=-all LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8 WINEDLLOVERRIDES="mscoree,mshtml="
start=$(date +%s)

# Which Wine: the 32-bit one when this machine runs 32-bit programs.
wine32=$(command -v wine || echo /usr/lib/wine/wine)
if probe=$("$wine32" "$WIN/bin/libsql.exe" --version 2>&1); then
  arch=i686
  WINE=$wine32
  TESTS="$WIN/tests32"
  triple=i686-w64-mingw32
  driver=/usr/lib/i386-linux-gnu/odbc/libtdsodbc.so
  not_run=""
else
  # Say plainly what was not run and why: starting 32-bit Wine's own loader
  # fails on a kernel without 32-bit support ("Exec format error").
  why=$(printf '%s\n' "$probe" | tail -1)
  grep -qE 'ia32_emulation=(0|false|off)' /proc/cmdline 2>/dev/null &&
    why="$why; the kernel was started with ia32_emulation off"
  not_run="the 32-bit (i686) programs in $WIN/bin were built and checked as files, but NOT run: this machine cannot start 32-bit programs ($wine32: $why)"
  echo "windows-tests: $not_run"
  echo "windows-tests: every suite and run below uses a 64-bit (x86-64) build of the same sources under wine64"
  arch=x86_64
  WINE=wine64
  TESTS="$WIN/test64"
  triple=x86_64-w64-mingw32
  driver=/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so
fi
command -v $WINE >/dev/null 2>&1 || WINE=/usr/lib/wine/$WINE

# The 32-bit release as files: PE32 for i386, a version resource of 6.2017.1.
for exe in "$WIN"/bin/libupgrade-cli.exe "$WIN"/bin/libsql.exe; do
  LC_ALL=C i686-w64-mingw32-objdump -f "$exe" | grep -q 'file format pei-i386' ||
    { echo "windows-tests: $exe is not a 32-bit program" >&2; exit 1; }
  # The version resource's strings are UTF-16.
  python3 -c "import sys; d=open(sys.argv[1],'rb').read(); sys.exit(0 if '6.2017.1'.encode('utf-16-le') in d else 1)" "$exe" ||
    { echo "windows-tests: $exe has no version resource" >&2; exit 1; }
done

# The test build: the suites, libupgrade-cli.exe and libsql.exe.
cmake -S . -B "$TESTS" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-w64-$arch.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DLIBUPGRADE_WERROR=ON -DLIBUPGRADE_BUILD_APP=ON \
  ${LIBUPGRADE_WINDOWS_CMAKE_ARGS:-} >/dev/null
ninja -C "$TESTS" -j"${JOBS:-2}" port_tests text_tests engine_tests db_tests refdata_tests \
  steps_tests libupgrade-cli libsql libupgrade window_rects app_win32_tests
BIN="$TESTS/bin"

export WINEPREFIX="$(pwd)/$WIN/wine-$arch"
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "windows-tests: making the Wine prefix $WINEPREFIX"
  # (wine64 alone reports that it cannot start the 32-bit rundll32: harmless)
  $WINE wineboot -i >/dev/null 2>&1 || true
  # The registry files are written when the wineserver ends, which may be
  # after wineboot has returned.
  $wineserver -w
  [ -f "$WINEPREFIX/system.reg" ] || { echo "windows-tests: wineboot made no prefix" >&2; exit 1; }
fi
# One wineserver for every run below (a minute's persistence between runs),
# ended at the end.
$wineserver -k 2>/dev/null || true
$wineserver -w
$wineserver -p 60
scratch=$(mktemp -d)
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  $wineserver -k 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

failed=0
fail() { echo "windows-tests: FAILED: $*" >&2; failed=1; }

# 1. The suites.
for suite in port text engine db refdata steps; do
  echo "== ${suite}_tests.exe"
  if ! $WINE "$BIN/${suite}_tests.exe" --gtest_brief=1 >"$scratch/$suite.log" 2>&1; then
    tail -40 "$scratch/$suite.log"
    fail "${suite}_tests.exe"
  else
    tail -1 "$scratch/$suite.log"
  fi
done

# 2. End to end. The fixture database is made by the Linux shell; every
# database is compared with the Linux upgrade's through the Linux shell.
fixture="$scratch/fixture.db"
"$LINUX/bin/libsql" -b -d "$fixture" -i data/fixtures/pre2005.sql >/dev/null
today=$(date +%Y-%m-%d)
dump() {  # the catalogue and every table's rows, sorted, today's times as <now>
  dump_raw "$1" | sed "s/$today [0-9:.]*/<now>/g"
}
dump_raw() {
  tables=$("$LINUX/bin/libsql" -b -W -h -1 -d "$1" -Q \
    "set nocount on select name from sysobjects where xtype = 'U' order by name")
  "$LINUX/bin/libsql" -b -W -h -1 -d "$1" -Q "set nocount on
    select o.name, o.xtype from sysobjects o order by o.name
    select o.name, c.name, c.xtype, c.length from syscolumns c join sysobjects o on o.id = c.id order by o.name, c.colid
    select o.name, i.name from sysindexes i join sysobjects o on o.id = i.id where i.name is not null order by o.name, i.name"
  for t in $tables; do
    echo "== $t"
    "$LINUX/bin/libsql" -b -W -h -1 -d "$1" -Q "set nocount on select * from [$t]" | sort
  done
}
upgrade_linux() {
  "$LINUX/bin/libupgrade-cli" --backed-up --before --data-source "embedded:$1" --data-dir data/sample >/dev/null
}
upgrade_windows() {  # database file, then extra arguments
  db=$1
  shift
  $WINE "$BIN/libupgrade-cli.exe" --backed-up --before --data-source "embedded:$db" \
    --data-dir data/sample "$@"
}
cp "$fixture" "$scratch/linux.db"
upgrade_linux "$scratch/linux.db"
dump "$scratch/linux.db" >"$scratch/linux.dump"
grep -q ZZ20170109 "$scratch/linux.dump" || fail "the Linux upgrade left no last sign"

echo "== upgrade of a database file"
cp "$fixture" "$scratch/file.db"
if upgrade_windows "$scratch/file.db" >"$scratch/file.log" 2>&1; then
  dump "$scratch/file.db" >"$scratch/file.dump"
  cmp -s "$scratch/linux.dump" "$scratch/file.dump" || {
    diff "$scratch/linux.dump" "$scratch/file.dump" | head -20
    fail "the Windows upgrade of a file differs from the Linux one"
  }
  grep -q "所有处理已完成！" "$scratch/file.log" || fail "no closing line in the Windows run"
else
  tail -20 "$scratch/file.log"
  fail "libupgrade-cli.exe on a database file"
fi

echo "== upgrade killed at the 60th statement, then run again"
cp "$fixture" "$scratch/killed.db"
if LIBUPGRADE_FAULT=kill:60 upgrade_windows "$scratch/killed.db" >"$scratch/killed.log" 2>&1; then
  fail "the killed run exited as if it had finished"
fi
if upgrade_windows "$scratch/killed.db" >>"$scratch/killed.log" 2>&1; then
  dump "$scratch/killed.db" >"$scratch/killed.dump"
  cmp -s "$scratch/linux.dump" "$scratch/killed.dump" ||
    fail "the run after the kill did not end where the Linux upgrade ends"
else
  tail -20 "$scratch/killed.log"
  fail "the run after the kill"
fi

echo "== upgrade through ODBC (odbc32 -> unixODBC -> FreeTDS -> libsql-server)"
cp "$fixture" "$scratch/served.db"
"$LINUX/bin/libsql-server" -d "$scratch/served.db" --listen 127.0.0.1:0 --login sa:secret \
  >"$scratch/server.out" 2>&1 &
server_pid=$!
port=""
for _ in $(seq 50); do
  port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$scratch/server.out")
  [ -n "$port" ] && break
  sleep 0.1
done
printf '[FreeTDS]\nDriver=%s\n' "$driver" >"$scratch/odbcinst.ini"
printf '[LibODBC]\nDriver=FreeTDS\nServer=127.0.0.1\nPort=%s\nTDS_Version=7.4\nClientCharset=GBK\n' \
  "$port" >"$scratch/odbc.ini"
if ODBCSYSINI="$scratch" ODBCINI="$scratch/odbc.ini" $WINE "$BIN/libupgrade-cli.exe" --backed-up \
     --before --data-source LibODBC --user sa --password secret --data-dir data/sample \
     >"$scratch/odbc.log" 2>&1; then
  kill "$server_pid"  # the server checkpoints the database as it stops
  wait "$server_pid" || true
  server_pid=""
  dump "$scratch/served.db" >"$scratch/odbc.dump"
  cmp -s "$scratch/linux.dump" "$scratch/odbc.dump" || {
    diff "$scratch/linux.dump" "$scratch/odbc.dump" | head -20
    fail "the Windows upgrade through ODBC differs from the Linux one"
  }
else
  tail -20 "$scratch/odbc.log"
  fail "libupgrade-cli.exe through ODBC"
fi

# 3. The installer: silently in, the programs run from Program Files, silently
# out. A 64-bit machine without 32-bit support tries a 64-bit installer of the
# test build, made from the same script.
echo "== installer"
setup="$WIN/libupgrade-6.2017.1-setup.exe"
if [ "$arch" = x86_64 ]; then
  setup="$TESTS/libupgrade-6.2017.1-setup64.exe"
  makensis -V1 -DAMD64 -DRELEASE=6.2017.1 -DBUILD="$(pwd)/$TESTS" -DSOURCE="$(pwd)" \
    -DOUTFILE="$(pwd)/$setup" packaging/windows/libupgrade.nsi
fi
$WINE "$setup" /S
dir=$($WINE cmd /c echo %ProgramFiles% 2>/dev/null | tr -d '\r')\\Quorvant\\libupgrade
if $WINE "$dir\\libupgrade-cli.exe" --version 2>/dev/null | grep -q 6.2017.1; then
  $WINE "$dir\\uninstall.exe" /S "_?=$dir"
  $WINE cmd /c del "$dir\\uninstall.exe" >/dev/null 2>&1 || true
  if $WINE cmd /c if exist "$dir\\libupgrade-cli.exe" echo left 2>/dev/null | grep -q left; then
    fail "the uninstaller left the programs"
  fi
else
  fail "the installer did not install libupgrade-cli.exe into $dir"
fi

# 4. The native window, on an Xvfb and in a Wine prefix of its own, driven with
# xdotool and read from the X server's pixels.
echo "== the native window"
$wineserver -k 2>/dev/null || true
python3 tests/app/win32/wine_window_test.py "$TESTS" "$LINUX" . || fail "the native window"

[ -n "$not_run" ] && echo "windows-tests: $not_run"
echo "windows-tests: $(( $(date +%s) - start )) s"
exit $failed
