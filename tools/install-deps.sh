#!/bin/sh
# Installs what building, running and testing need on Debian (12 or later).
# Packages already present are left alone, so a machine that has them needs no
# network and no root.
set -eu

PACKAGES="cmake ninja-build g++ pkg-config \
qt6-base-dev libgl-dev \
unixodbc-dev odbcinst libsqliteodbc tdsodbc python3-pyodbc freetds-bin \
libicu-dev libgtest-dev libbenchmark-dev libsqlite3-dev \
fonts-wqy-microhei xvfb xauth xdotool x11-apps qt6-translations-l10n python3 \
clang-14 libclang-rt-14-dev \
groff-base dpkg-dev file lintian"

missing=""
for p in $PACKAGES; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

echo "Installing:$missing"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO apt-get update
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends $missing
