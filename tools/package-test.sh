#!/bin/sh
# Builds the Debian package in a Release build folder (with Debian's
# hardening flags) and tries it as an administrator would: lintian at its
# pedantic level must find no error and no warning; then it extracts the
# package into a scratch root, checks what it holds (and that it holds no
# sample data), makes a database of an older release with the extracted
# libsql and upgrades it with the extracted libupgrade-cli. Only the programs
# and the manual pages are built.
#
#   tools/package-test.sh [BUILD_DIR]      (default build-release)
set -eu
cd "$(dirname "$0")/.."
src=$(pwd)
dir=${1:-build-release}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLIBUPGRADE_WERROR=ON \
  -DLIBUPGRADE_BUILD_TESTS=OFF -DLIBUPGRADE_DEBIAN_HARDENING=ON >/dev/null
targets="libupgrade libupgrade-cli libsql man_pages"
if ninja -C "$dir" -t targets all | grep -q '^libsql-server:'; then targets="$targets libsql-server"; fi
ninja -C "$dir" -j2 $targets
rm -f "$dir"/libupgrade_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
deb=$(ls "$dir"/libupgrade_*_amd64.deb)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
dpkg-deb -x "$deb" "$root"

fail() { echo "package test: $*" >&2; exit 1; }
[ "$(basename "$deb")" = "libupgrade_6.2017.1_amd64.deb" ] || fail "unexpected name $(basename "$deb")"

# lintian: an error (E:) or a warning (W:) fails the test; the overrides in
# packaging/debian/lintian-overrides (each with its reason) are honoured.
# Pedantic and informational tags are printed for the record.
started=$(date +%s)
lintian --pedantic --display-info --color never "$deb" >"$work/lintian.txt" 2>&1 || true
cat "$work/lintian.txt"
if grep -qE '^(E|W): ' "$work/lintian.txt"; then fail "lintian reports errors or warnings"; fi
echo "package test: lintian clean in $(( $(date +%s) - started )) s"
for f in usr/bin/libupgrade usr/bin/libupgrade-cli usr/bin/libsql \
         usr/share/man/man1/libupgrade.1.gz usr/share/man/man1/libupgrade-cli.1.gz \
         usr/share/man/man1/libsql.1.gz usr/share/man/man1/libsql-server.1.gz \
         usr/share/applications/libupgrade.desktop \
         usr/share/icons/hicolor/scalable/apps/libupgrade.svg usr/share/doc/libupgrade/README.md \
         usr/share/doc/libupgrade/copyright usr/share/doc/libupgrade/changelog.gz \
         usr/share/doc/libupgrade/fixtures/release_2007_03.sql; do
  [ -e "$root/$f" ] || fail "$f is missing"
done
if echo "$targets" | grep -q libsql-server; then
  "$root/usr/bin/libsql-server" --version | head -1 | grep -qx "libsql-server 6.2017.1" ||
    fail "libsql-server --version is wrong or libsql-server is missing"
fi
# The data folder is made by postinst (and left by a removal, as are the
# library's files in it); the package itself ships no data folder.
[ ! -e "$root/usr/share/libupgrade" ] || fail "usr/share/libupgrade is still made"
[ ! -e "$root/var/lib/libupgrade" ] || fail "var/lib/libupgrade is shipped"
dpkg-deb -e "$deb" "$work/control"
mkdir -p "$work/scripts"
sed "s|/var/lib/libupgrade|$work/scripts&|g" "$work/control/postinst" >"$work/postinst"
sh "$work/postinst" configure
[ -d "$work/scripts/var/lib/libupgrade" ] || fail "postinst does not make /var/lib/libupgrade"
touch "$work/scripts/var/lib/libupgrade/zzm.dat"
sed "s|/var/lib/libupgrade|$work/scripts&|g" "$work/control/postrm" >"$work/postrm"
sh "$work/postrm" purge
[ -f "$work/scripts/var/lib/libupgrade/zzm.dat" ] || fail "purging removes the library's files"
rm "$work/scripts/var/lib/libupgrade/zzm.dat"
sh "$work/postrm" purge
[ ! -e "$work/scripts/var/lib/libupgrade" ] || fail "purging leaves an empty data folder"
found=$(find "$root" -name zzm.dat -o -name other.dat -o -name MarcRule.txt)
[ -z "$found" ] || fail "the package carries sample data: $found"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6widgets6 libicu libodbc; do
  echo "$depends" | grep -q "$lib" || fail "Depends lacks $lib: $depends"
done
dpkg-deb -f "$deb" Recommends | grep -q tdsodbc || fail "tdsodbc is not recommended"

version=$("$root/usr/bin/libupgrade-cli" --version)
echo "$version" | head -1 | grep -qx "libupgrade-cli 6.2017.1" || fail "--version says: $version"

"$root/usr/bin/libsql" -b -1 -d "$work/library.db" -i "$root/usr/share/doc/libupgrade/fixtures/release_2007_03.sql" >/dev/null
LIBUPGRADE_REGISTRY_ROOT=$work/registry "$root/usr/bin/libupgrade-cli" --backed-up \
  --data-source "embedded:$work/library.db" --data-dir "$src/data/sample" >"$work/upgrade.out" ||
  { cat "$work/upgrade.out"; fail "the upgrade failed"; }
last=$("$root/usr/bin/libsql" -W -h -1 -d "$work/library.db" -Q "select count(*) from ver_manage where vm_mess = 'ZZ20170109.SFZ'")
[ "$last" = "1" ] || fail "the upgraded database lacks the last step's sign"
echo "package test: $(basename "$deb") ($(du -k "$deb" | cut -f1) kB) installs and upgrades a release of March 2007"
