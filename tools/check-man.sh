#!/bin/sh
# Checks the manual pages given as arguments: each must format with groff's
# man macros without a single warning, and say something.
#
# With --bin DIR, the page of each command-line program (libupgrade-cli,
# libsql, libsql-server) is also held against the program's own --help, run
# from DIR: every option --help names is in the page's SYNOPSIS or OPTIONS
# and every option there is in --help, and the exit codes of --help's "Exit
# status:" list are those of the page's EXIT STATUS. With --readme FILE, the
# exit codes the README gives for libupgrade-cli ("Exit codes: 0 ..., 1 ...")
# are the same again.
#
#   tools/check-man.sh [--bin DIR] [--readme FILE] PAGE...
set -eu
bin=""
readme=""
while [ $# -gt 0 ]; do
  case "$1" in
    --bin) bin=$2; shift 2 ;;
    --readme) readme=$2; shift 2 ;;
    *) break ;;
  esac
done
status=0
complain() { echo "$page: $*"; status=1; }

# The options a text names: a word of one or two dashes that follows the start
# of a line or a blank, a bracket, a bar or a comma ("pre-2005" is no option).
options() {
  grep -oE '(^|[][ (|,"])--?[A-Za-z1][A-Za-z0-9-]*' | sed -E 's/^[][ (|,"]//' | sort -u
}

# The man source of the named sections, with the escapes of dashes and fonts
# taken out.
sections() {
  awk -v want="$2" '
    /^\.SH / { name = $0; sub(/^\.SH +"?/, "", name); sub(/"$/, "", name)
               keep = index(want, "|" name "|") > 0; next }
    keep' "$1" |
    sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/\\(aq//g' -e 's/\\&//g' -e 's/^\.[A-Z]* //'
}

# The codes listed under "Exit status:" in a --help text: lines "  N  ...".
help_exit_codes() {
  awk '/^Exit status:/ { on = 1; next } on && /^[^ ]/ { on = 0 } on' |
    grep -oE '^  [0-9]+  ' | tr -d ' ' | sort -u
}

# The codes of a page's EXIT STATUS: the tags ".B N" of its .TP entries.
page_exit_codes() {
  sections "$1" "|EXIT STATUS|" | grep -oE '^[0-9]+$' | sort -u
}

for page in "$@"; do
  warnings=$(groff -k -man -ww -z -Tutf8 "$page" 2>&1) || status=1
  if [ -n "$warnings" ]; then
    echo "$page:"; echo "$warnings"; status=1
  fi
  lines=$(groff -k -man -Tutf8 "$page" 2>/dev/null | wc -l)
  if [ "$lines" -lt 20 ]; then
    complain "formats to only $lines lines"
  fi

  [ -n "$bin" ] || continue
  program=$(basename "$page" .1)
  case "$program" in
    libupgrade-cli|libsql|libsql-server) ;;
    *) continue ;;  # the window takes no options
  esac
  [ -x "$bin/$program" ] || { complain "$bin/$program is missing"; continue; }
  help=$("$bin/$program" --help) || { complain "$program --help failed"; continue; }
  in_help=$(printf '%s\n' "$help" | options)
  in_page=$(sections "$page" "|SYNOPSIS|OPTIONS|" | options)
  for o in $in_help; do
    printf '%s\n' "$in_page" | grep -qx -- "$o" || complain "$o is in --help but not in the page"
  done
  for o in $in_page; do
    printf '%s\n' "$in_help" | grep -qx -- "$o" || complain "$o is in the page but not in --help"
  done
  help_codes=$(printf '%s\n' "$help" | help_exit_codes | tr '\n' ' ')
  page_codes=$(page_exit_codes "$page" | tr '\n' ' ')
  [ -n "$help_codes" ] || complain "--help lists no exit status"
  [ "$help_codes" = "$page_codes" ] ||
    complain "exit codes: --help lists $help_codes, the page $page_codes"
  if [ -n "$readme" ] && [ "$program" = libupgrade-cli ]; then
    readme_codes=$(awk '/^Exit codes/ { on = 1 } on { print } on && /^$/ { exit }' "$readme" |
                     grep -oE '(^|[ :,;])[0-9]+ ' | tr -d ' :,;' | sort -u | tr '\n' ' ')
    [ "$help_codes" = "$readme_codes" ] ||
      complain "exit codes: --help lists $help_codes, $readme ${readme_codes:-none}"
  fi
done
exit $status
