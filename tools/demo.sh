#!/bin/sh
# The demo: what the upgrade does to a library database of an old release.
#
# Installs what is missing, builds the programs in build/, makes a library
# database as the library system left it before its March 2005 release, filled
# with a few thousand made-up records (Chinese titles and authors, ISBN-10s,
# readers, copies, loans: tools/gen_library.py --size demo), upgrades it with
# libupgrade-cli on the embedded engine, and prints what changed: the upgrade
# signs recorded, the tables and columns added or widened, the rows rewritten,
# and a few records before and after. A second run shows that nothing is left
# to do. Last it says how to open the same database in the window.
#
#   DEMO_DIR    folder for the database and its files (default
#               /tmp/libupgrade-demo; its demo files are replaced)
#   DEMO_BUILD  build folder (default build, the README's)
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)

dir="${DEMO_DIR:-/tmp/libupgrade-demo}"
build="${DEMO_BUILD:-build}"
db="$dir/library.db"
old="$dir/old-release.db"
log="$dir/upgrade.log.jsonl"
registry="$dir/registry"

step() { printf '\n== %s\n' "$*"; }

step "packages"
tools/install-deps.sh

step "building in $build/ (2 jobs)"
cmake -S . -B "$build" -G Ninja >/dev/null
targets="libsql libupgrade-cli"
ninja -C "$build" -t query libupgrade >/dev/null 2>&1 && targets="$targets libupgrade"
# shellcheck disable=SC2086
ninja -C "$build" -j2 $targets
case "$build" in
  /*) bin="$build/bin" ;;
  *) bin="$top/$build/bin" ;;
esac

step "making a library database of the release before March 2005"
mkdir -p "$dir"
rm -f "$db" "$db-journal" "$db.lock" "$old" "$old-journal" "$old.lock" "$log"
python3 tools/gen_library.py --size demo -o "$dir/library.sql"
# One transaction: one flush of the journal for the whole load.
"$bin/libsql" -b -1 -d "$db" -i "$dir/library.sql" >/dev/null
cp "$db" "$old"
[ -f "$db-journal" ] && cp "$db-journal" "$old-journal"
"$bin/libsql" -W -h -1 -d "$db" -Q "select count(*) from lib_bianma
select count(*) from lib_tiaoma
select count(*) from lib_people
select count(*) from lib_jieshu" | tr -s '\n' ' ' |
  awk '{ printf "%s catalogue records, %s copies, %s readers, %s loans (script %s)\n", $1, $2, $3, $4, f }' \
    f="$dir/library.sql"

step "upgrading $db"
start=$(date +%s.%N)
"$bin/libupgrade-cli" --backed-up --data-source "embedded:$db" --data-dir data/sample --log "$log"
end=$(date +%s.%N)
awk -v s="$start" -v e="$end" 'BEGIN { printf "\nupgrade took %.1f s\n", e - s }'

step "what changed"
python3 - "$bin/libsql" "$old" "$db" "$log" <<'EOF'
import collections, json, re, subprocess, sys

libsql, old_db, new_db, log = sys.argv[1:5]

def rows(db, sql):
    out = subprocess.run([libsql, "-b", "-W", "-h", "-1", "-d", db, "-Q", sql],
                         check=True, capture_output=True, text=True).stdout
    return [line.split("\t") for line in out.splitlines() if line]

TYPES = {"175": "char", "167": "varchar", "56": "int", "52": "smallint", "48": "tinyint",
         "61": "datetime", "58": "smalldatetime", "108": "numeric", "106": "decimal",
         "62": "float", "60": "money", "104": "bit", "34": "image", "35": "text"}

def catalogue(db):
    tables = {r[0].lower() for r in rows(db, "select name from sysobjects where xtype='U'")}
    cols = {}
    for t, c, xtype, length in rows(db, "select o.name, c.name, c.xtype, c.length from syscolumns c "
                                        "join sysobjects o on o.id = c.id where o.xtype = 'U'"):
        name = TYPES.get(xtype, "type " + xtype)
        if name in ("char", "varchar"):
            name += "(%s)" % length
        cols[(t.lower(), c.lower())] = (name, int(length))
    indexes = {(t.lower(), i.lower()) for t, i in rows(
        db, "select o.name, i.name from sysindexes i join sysobjects o on o.id = i.id "
            "where o.xtype = 'U' and i.indid > 0")}
    return tables, cols, indexes

def listed(names, limit=12):
    names = sorted(names)
    more = " … and %d more" % (len(names) - limit) if len(names) > limit else ""
    return ", ".join(names[:limit]) + more

old_tables, old_cols, old_idx = catalogue(old_db)
new_tables, new_cols, new_idx = catalogue(new_db)

signs = [r[0] for r in rows(new_db, "select vm_mess from ver_manage")]
print("upgrade signs recorded in ver_manage: %d" % len(signs))
for i in range(0, len(signs), 4):
    print("   " + "  ".join(signs[i:i + 4]))

added = new_tables - old_tables
print("tables added: %d: %s" % (len(added), listed(added)))
dropped = old_tables - new_tables
if dropped:
    print("tables removed: %d: %s" % (len(dropped), listed(dropped)))

new_in_old = collections.defaultdict(list)
for (t, c) in new_cols:
    if t in old_tables and (t, c) not in old_cols:
        new_in_old[t].append(c)
print("columns added to the release's own tables: %d, in %d tables"
      % (sum(map(len, new_in_old.values())), len(new_in_old)))
for t in sorted(new_in_old, key=lambda t: -len(new_in_old[t]))[:4]:
    print("   %s: %s" % (t, listed(new_in_old[t], 8)))
changed = [(k, old_cols[k][0], new_cols[k][0]) for k in old_cols
           if k in new_cols and old_cols[k][0] != new_cols[k][0]]
print("columns widened or retyped: %d" % len(changed))
for (t, c), before, after in sorted(changed)[:10]:
    print("   %s.%s  %s -> %s" % (t, c, before, after))
if len(changed) > 10:
    print("   … and %d more" % (len(changed) - 10))
print("indexes and keys added: %d" % len(new_idx - old_idx))

# Rows written, from the statement log: UPDATE of the release's data, INSERT
# that copies a rebuilt table back or fills a new one (temporary tables the
# upgrade dropped again are left out).
updated, inserted = collections.Counter(), collections.Counter()
statements = errors = 0
per_step = collections.Counter()
with open(log, encoding="utf-8") as f:
    for line in f:
        e = json.loads(line)
        statements += 1
        per_step[e["step"]] += 1
        if e["outcome"] == "tolerated":
            errors += 1
        n = e.get("rows", 0)
        if e["outcome"] != "ok" or n <= 0:
            continue
        m = re.match(r"\s*(update|insert)\s+(?:into\s+)?(\w+)", e["sql"], re.I)
        if m:
            (updated if m.group(1).lower() == "update" else inserted)[m.group(2).lower()] += n
print("statements sent: %d in %d steps (%d refusals the steps expect and pass over)"
      % (statements, len(per_step) - ("run" in per_step), errors))
print("rows rewritten (UPDATE): %d: %s" % (sum(updated.values()), ", ".join(
    "%s %d" % kv for kv in updated.most_common(6))))
copied = collections.Counter({t: n for t, n in inserted.items() if t in old_tables})
seeded = collections.Counter({t: n for t, n in inserted.items() if t in added})
if copied:
    print("rows inserted into the release's own tables (rebuilt tables copied back, menu rows): %d: %s" % (sum(copied.values()), ", ".join(
        "%s %d" % kv for kv in copied.most_common(6))))
print("seed and reference rows in the new tables: %d: %s" % (sum(seeded.values()), ", ".join(
    "%s %d" % kv for kv in seeded.most_common(6))))

def one(db, sql):
    r = rows(db, sql)
    return r[0] if r else None

print("\nbefore -> after")
codes = [r[0] for r in rows(old_db, "select top 2 bm_code from lib_bianma order by bm_code")]
x = one(old_db, "select top 1 bm_code from lib_bianma where bm_bookid like '%X' order by bm_code")
if x:
    codes.append(x[0])
for code in codes:
    b = one(old_db, "select bm_bookid from lib_bianma where bm_code = %s" % code)
    a = one(new_db, "select bm_bookid, bm_isbn from lib_bianma where bm_code = %s" % code)
    if b and a:
        print("   ISBN, record %s: %-15s -> %s (the old number kept in bm_isbn: %s)"
              % (code, b[0], a[0], a[1]))

for code, in rows(old_db, "select top 2 bm_code from lib_bianma where bm_name like '%：%' "
                           "and bm_author like '%；%' order by bm_code"):
    b = one(old_db, "select bm_name, bm_author from lib_bianma where bm_code = %s" % code)
    a = one(new_db, "select bm_name, bm_namefu, bm_namepy, bm_namefupy, bm_author, bm_authorsec, "
                    "bm_authorpy from lib_bianma where bm_code = %s" % code)
    if b and a:
        print("   title, record %s: %s -> title %s, sub-title %s, keys %s / %s"
              % (code, b[0], a[0], a[1], a[2], a[3]))
        print("   authors, record %s: %s -> first %s (key %s), others %s"
              % (code, b[1], a[4], a[6], a[5]))

bad = one(old_db, "select top 1 bm_code, bm_author from lib_bianma where bm_author like '%F川%'")
if bad:
    a = one(new_db, "select bm_author from lib_bianma where bm_code = %s" % bad[0])
    if a:
        print("   mis-encoded author, record %s: %s -> %s" % (bad[0], bad[1], a[0]))

card = one(old_db, "select top 1 pe_id, pe_name from lib_people order by pe_id")
if card:
    width = lambda cols: cols.get(("lib_people", "pe_id"), ("?",))[0]
    a = one(new_db, "select pe_id, pe_name from lib_people where pe_id = '%s'" % card[0])
    print("   reader card %s (%s): column pe_id %s -> %s, the card kept%s"
          % (card[0], card[1], width(old_cols), width(new_cols),
             "" if a else " (NOT FOUND after the upgrade)"))
EOF

step "second run: every step finds its sign, nothing is left to do"
# This run reads its connection from a registry stand-in, as the window does.
mkdir -p "$registry/SOFTWARE/Quorvant/Lib"
printf 'ODBCNAME=embedded:%s\n' "$db" >"$registry/SOFTWARE/Quorvant/Lib/values.txt"
before=$("$bin/libsql" -W -h -1 -d "$db" -Q "select count(*) from ver_manage")
# Like the window it takes the reference files from the program's folder, which
# holds none: a finished database needs none.
LIBUPGRADE_REGISTRY_ROOT="$registry" "$bin/libupgrade-cli" --backed-up >"$dir/second-run.txt"
after=$("$bin/libsql" -W -h -1 -d "$db" -Q "select count(*) from ver_manage")
echo "signs before: $before, after: $after; last line: $(tail -n 1 "$dir/second-run.txt")"

step "the same database in the window"
cat <<EOT
The connection is kept under SOFTWARE\\Quorvant\\Lib of the registry stand-in.
This demo wrote one in $registry (ODBCNAME=embedded:$db):

  LIBUPGRADE_REGISTRY_ROOT=$registry $build/bin/libupgrade

Without a display, run it under Xvfb: prefix the line with  xvfb-run -a
Without LIBUPGRADE_REGISTRY_ROOT the programs read the machine-wide stand-in,
/etc/xdg/Quorvant/registry (see the README). The upgrade is done, so a run in
the window records no new sign and ends with "所有处理已完成！".
The database as it was before the upgrade: $old
The statement log of the upgrade (JSON lines): $log
EOT
