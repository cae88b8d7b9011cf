#!/bin/sh
# Cross-builds the 32-bit Windows programs with Debian's mingw-w64 (i686,
# statically linked, Release) into build-windows/, and the installer
# build-windows/libupgrade-6.2017.1-setup.exe (NSIS).
#
#   tools/build-windows.sh             install what is missing, build
#   tools/build-windows.sh --deps      only install what is missing
#   tools/build-windows.sh --test      build, then run the Windows suites, the
#                                      end-to-end runs and the installer under
#                                      Wine (tools/windows-tests.sh; needs the
#                                      Linux build in build/)
#
# Packages already present are left alone; a machine that has them needs no
# network and no root.
set -eu
cd "$(dirname "$0")/.."

mode=build
case "${1:-}" in
  --deps) mode=deps ;;
  --test) mode=test ;;
  "") ;;
  *) echo "usage: $0 [--deps|--test]" >&2; exit 2 ;;
esac

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

install_deps() {
  # wine32 is an i386 package: the architecture must be known to dpkg first.
  added=""
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
    added=yes
  fi
  missing=""
  # The x86-64 compiler and wine64 make the test build for machines that
  # cannot run 32-bit programs (tools/windows-tests.sh).
  for p in g++-mingw-w64-i686-posix mingw-w64-i686-dev wine wine32:i386 wine64 nsis locales \
           g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev \
           cmake ninja-build python3 unixodbc odbcinst tdsodbc; do
    installed "$p" || missing="$missing $p"
  done
  if [ -n "$missing" ]; then
    echo "Installing:$missing"
    $SUDO apt-get -o DPkg::Lock::Timeout=600 update
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y \
      --no-install-recommends $missing
  elif [ -n "$added" ]; then
    $SUDO apt-get -o DPkg::Lock::Timeout=600 update
  fi
  # Wine takes its ANSI code page from the locale: zh_CN.UTF-8 gives code
  # page 936, the code page of the library's workstations.
  if ! locale -a 2>/dev/null | grep -qix 'zh_CN.utf8'; then
    echo "Generating the zh_CN.UTF-8 locale"
    if ! grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null; then
      echo 'zh_CN.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
    fi
    $SUDO locale-gen zh_CN.UTF-8 >/dev/null
  fi
}

install_deps
[ "$mode" = deps ] && exit 0

# The build: Release, static, warnings as errors as in the Linux test build.
BUILD=build-windows
cmake -S . -B "$BUILD" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake \
  -DCMAKE_BUILD_TYPE=Release \
  -DLIBUPGRADE_WERROR=ON \
  -DLIBUPGRADE_BUILD_TESTS=OFF \
  ${LIBUPGRADE_WINDOWS_CMAKE_ARGS:-}
ninja -C "$BUILD" -j"${JOBS:-2}"

# No DLL but Windows' own: what each program imports, checked.
for exe in "$BUILD"/bin/*.exe; do
  LC_ALL=C i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^\tDLL Name: //p' | while read -r dll; do
    case "$(echo "$dll" | tr 'A-Z' 'a-z')" in
      kernel32.dll|user32.dll|gdi32.dll|advapi32.dll|comctl32.dll|comdlg32.dll|shell32.dll|\
      ole32.dll|oleaut32.dll|odbc32.dll|msvcrt.dll|ws2_32.dll|uxtheme.dll|version.dll|\
      api-ms-win-*) ;;
      *) echo "$exe needs $dll, which is not part of Windows" >&2; exit 1 ;;
    esac
  done
done

# The installer (NSIS): Program Files, a Start-menu entry, an uninstaller.
makensis -V2 -DRELEASE=6.2017.1 -DBUILD="$(pwd)/$BUILD" -DSOURCE="$(pwd)" \
  -DOUTFILE="$(pwd)/$BUILD/libupgrade-6.2017.1-setup.exe" packaging/windows/libupgrade.nsi
echo "Built $BUILD/bin/*.exe and $BUILD/libupgrade-6.2017.1-setup.exe"

[ "$mode" = test ] && exec tools/windows-tests.sh "$BUILD"
exit 0
