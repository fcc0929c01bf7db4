#!/usr/bin/env bash
# Builds the Qt 5 Core kit the Windows build needs, from Debian's own source of Qt (the release of
# qtbase5-dev) and Debian's MinGW-w64: QtCore for Windows as a static library in qt5-win/, so that the
# watchdog is one file that loads no Qt library of the caster's, the host tools moc, rcc and qmake with
# the win32-g++ mkspec in qt5-win-host/, Qt's LGPL and GPL texts and mingw-toolchain.cmake.
# About 10-15 minutes on two cores, so it is built once per machine and kept; scripts/windows.sh
# runs it when it finds no kit.
#   scripts/qt-mingw.sh <kit folder>
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 <kit folder>" >&2; exit 2; }
kit=$(realpath -m "$1")
here=$(dirname "$0")
mkdir -p "$(dirname "$kit")"

started=$SECONDS
say() { echo "qt-mingw: [$(((SECONDS - started) / 60)) min] $*"; }

# Two builds at once would each take the machine for nothing: the second waits and takes the first's.
exec 9>"$kit.lock"
flock -n 9 || { say "waiting for the Qt kit another run is building"; flock 9; }
[ -f "$kit/mingw-toolchain.cmake" ] && exit 0
rm -rf "$kit".build.* # left by a run that was killed: with the lock held, no other run is building
if [ -e "$kit" ] && ! rmdir "$kit" 2>/dev/null; then
    echo "$kit is there, and is no finished kit: remove it or name another folder" >&2
    exit 1
fi

say "building the Qt 5 Core kit for Windows into $kit (10-15 minutes the first time)"
renice -n 19 -p $$ >/dev/null # others share the cores; every step below inherits this
MAKEFLAGS=-j$(nproc)
export MAKEFLAGS
log=$kit.log
: >"$log"
run() { "$@" >>"$log" 2>&1 || { tail -n 30 "$log"; say "failed, the whole log is $log"; exit 1; }; }

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
"$here/setup.sh" dpkg-dev xz-utils perl make g++ g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
if ! apt-get source --print-uris qtbase5-dev >/dev/null 2>&1; then
    say "adding Debian's source archive to apt's sources"
    codename=$(sed -n "s/^VERSION_CODENAME=//p" /etc/os-release)
    "${sudo[@]}" tee /etc/apt/sources.list.d/debian-src.sources >/dev/null <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $codename $codename-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: $codename-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    run "${sudo[@]}" apt-get update
fi

# Built beside the kit's final place and renamed into it at the end, so that an interrupted run
# leaves nothing that looks like a kit.
work=$(mktemp -d "$kit.build.XXXXXX")
ticker=
trap 'rm -rf "$work"; [ -z "$ticker" ] || kill "$ticker" 2>/dev/null || true' EXIT
cd "$work"
say "fetching the source of qtbase5-dev"
run apt-get source qtbase5-dev
cd qtbase-opensource-src-*/
say "configuring, then compiling the host tools and QtCore (about 550 files)"
# The sleep outlives the ticker by up to a minute, so it must not hold a caller's pipe open.
while sleep 60 >/dev/null 2>&1; do say "$(find . -name '*.o' | wc -l) files compiled"; done &
ticker=$!
run ./configure -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32- \
    -prefix "$work/kit/qt5-win" -extprefix "$work/kit/qt5-win" -hostprefix "$work/kit/qt5-win-host" \
    -opensource -confirm-license -release -static -optimize-size -nomake examples -nomake tests \
    -no-opengl -no-gui -no-widgets -no-dbus -no-icu -qt-pcre -qt-zlib -no-ssl -no-openssl \
    -no-sql-sqlite -no-sql-odbc -no-sql-psql -no-sql-mysql
run make sub-src-qmake_all
run make -C src sub-corelib sub-rcc
kill "$ticker"

say "installing"
run make -C src/corelib install
# Linked into the program along with QtCore, which names it in its CMake files.
run make -C src/3rdparty/pcre2 install
run make -C src/tools/moc install
run make -C src/tools/rcc install
install -s bin/qmake "$work/kit/qt5-win-host/bin/"
cp -r mkspecs/common mkspecs/win32-g++ "$work/kit/qt5-win-host/mkspecs/"
cp LICENSE.LGPL3 LICENSE.GPL3 "$work/kit/"
rm -rf "$work/kit/qt5-win/lib/pkgconfig" "$work/kit/qt5-win-host/mkspecs/modules"
# The CMake files name the host tools by absolute path; relative to the kit, it can move.
sed -i -E 's#"[^"]*/qt5-win-host/#"${_qt5Core_install_prefix}/../qt5-win-host/#' \
    "$work/kit/qt5-win/lib/cmake/Qt5Core/Qt5CoreConfigExtras.cmake"
if grep -rqF "$work" "$work/kit/qt5-win/lib/cmake"; then
    say "the CMake files still name the build folder"
    exit 1
fi
cat >"$work/kit/mingw-toolchain.cmake" <<'EOF'
# CMake toolchain for a Windows x86_64 build on Debian with MinGW-w64 (posix threads)
# against the Qt 5.15 Core kept beside this file.
#   apt-get install g++-mingw-w64-x86-64-posix
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=<this file>
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(QT_MINGW_PREFIX "${CMAKE_CURRENT_LIST_DIR}/qt5-win")
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 "${QT_MINGW_PREFIX}")
list(APPEND CMAKE_PREFIX_PATH "${QT_MINGW_PREFIX}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF
mv -T "$work/kit" "$kit"
say "done: $kit"
