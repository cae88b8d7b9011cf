#!/bin/sh
# Installs tedious, at the version package-lock.json pins, into DIR (in the
# build tree) with npm ci, then runs the tedious tests against libsql-server.
# Exits 77 (the test is skipped) when Node.js is missing or npm cannot reach
# its registry; any other failure fails the test.
#
# Run as: run.sh DIR LIBSQL_SERVER LIBSQL
set -eu
here=$(cd "$(dirname "$0")" && pwd)
dir=$1
shift

if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  echo "SKIPPED: Node.js and npm are not installed; the tedious tests need them"
  exit 77
fi

mkdir -p "$dir"
# A folder installed from this very lock file is used again as it is.
if ! cmp -s "$here/package-lock.json" "$dir/installed-lock.json" ||
   [ ! -f "$dir/node_modules/tedious/package.json" ]; then
  rm -f "$dir/installed-lock.json"
  cp "$here/package.json" "$here/package-lock.json" "$dir/"
  if ! npm ci --prefix "$dir" --no-audit --no-fund --loglevel=error \
         --fetch-retries=1 --fetch-timeout=30000 >"$dir/npm.log" 2>&1; then
    if ! npm ping --fetch-retries=0 --fetch-timeout=15000 >/dev/null 2>&1; then
      echo "SKIPPED: npm cannot reach its registry to install tedious (see $dir/npm.log)"
      exit 77
    fi
    cat "$dir/npm.log"
    exit 1
  fi
  cp "$here/package-lock.json" "$dir/installed-lock.json"
fi

exec node "$here/tedious_test.js" "$dir/node_modules" "$@"
