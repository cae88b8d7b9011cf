#!/bin/sh
# The main job on the embedded engine: builds the programs, makes a library
# database of an older release from a fixture script with libsql, and upgrades
# it with libupgrade-cli, using the sample data files.
#
#   DEMO_DB       database file to make (default /tmp/libupgrade-demo.db; it
#                 is replaced)
#   DEMO_FIXTURE  script of data/fixtures/ to build it from (default
#                 pre2005.sql, the oldest release: the whole road)
set -eu
cd "$(dirname "$0")/.."

tools/install-deps.sh
cmake -S . -B build -G Ninja
ninja -C build -j2 libsql libupgrade-cli

db="${DEMO_DB:-/tmp/libupgrade-demo.db}"
fixture="data/fixtures/${DEMO_FIXTURE:-pre2005.sql}"
rm -f "$db" "$db-journal" "$db.lock"
if [ -f "$fixture" ]; then
  echo "== building $db from $fixture"
  build/bin/libsql -d "$db" -i "$fixture"
else
  echo "== $fixture not found: upgrading an empty database"
  build/bin/libsql -d "$db" -Q "select 1"
fi

echo "== upgrading $db"
build/bin/libupgrade-cli --backed-up --data-source "embedded:$db" --data-dir data/sample \
  --log "$db.log.jsonl"
echo "== statement log: $db.log.jsonl"
echo "== second run: nothing left to do"
build/bin/libupgrade-cli --backed-up --data-source "embedded:$db" --data-dir data/sample
