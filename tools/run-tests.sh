#!/bin/sh
# Installs what is missing, builds everything in build/ and runs every test
# suite (the windows on Qt's offscreen platform).
set -eu
cd "$(dirname "$0")/.."

tools/install-deps.sh
cmake -S . -B build -G Ninja -DLIBUPGRADE_WERROR=ON
ninja -C build -j2
QT_QPA_PLATFORM=offscreen ctest --test-dir build --output-on-failure -j2

# Fuzz targets, built with clang in build-fuzz/, each run on its checked-in
# corpus and then a fixed number of inputs from a fixed seed, so that the
# verdict is the same on any machine; a crash fails the run and leaves its
# input in build-fuzz/crashes/ (README, "Fuzzing").
tools/fuzz.sh --ci

# The text, engine, db, refdata and steps suites built with AddressSanitizer
# and UndefinedBehaviorSanitizer in build-asan/ and run; any report fails.
tools/sanitize-tests.sh

# The Debian package, built in a Release folder (build-release/, programs and
# manual pages only), extracted with dpkg-deb and tried: its contents, no
# sample data, --version, an upgrade by the extracted programs.
tools/package-test.sh

# The Windows build (32-bit, mingw-w64) and its installer in build-windows/,
# then under Wine: the core suites, libupgrade-cli.exe upgrading a database
# file and through ODBC to libsql-server (compared with the Linux upgrade),
# and the installer (README, "On Windows").
tools/build-windows.sh --test
