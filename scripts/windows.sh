#!/usr/bin/env bash
# The Windows build, cross-compiled here with MinGW-w64 against a Qt 5 Core for Windows (see below).
#   scripts/windows.sh package   builds build-win/ and makes the zip an operator unzips; prints its path
#   scripts/windows.sh smoke     the same, then runs the package under Wine (scripts/wine-smoke.sh)
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
    echo "usage: $0 package|smoke" >&2
    exit 2
}
[ $# -eq 1 ] || usage
case $1 in
package | smoke) ;;
*) usage ;;
esac

# The Qt 5 Core for Windows, a static library: the shared one where it is at hand, else the one built on
# this machine from Debian's source (scripts/qt-mingw.sh, once) and kept in a cache folder outside the
# checkout. (../shared/qt5-mingw is a DLL kit, which the package must not need.)
kit=../shared/qt5-mingw-static
if [ ! -d "$kit" ]; then
    kit=${ZUVA_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zuva}/qt5-mingw-static
    [ -f "$kit/mingw-toolchain.cmake" ] || scripts/qt-mingw.sh "$kit" >&2
fi
toolchain=$(realpath "$kit")/mingw-toolchain.cmake

scripts/setup.sh cmake make g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64

build="build-win"
mkdir -p "$build"
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_TESTING=OFF -DZUVA_STANDIN=ON >"$build/configure.log" 2>&1 \
    || { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j"$(nproc)" >"$build/build.log" 2>&1 || { cat "$build/build.log"; exit 1; }
if grep -E "warning:" "$build/build.log"; then
    echo "$build: the build must be free of warnings"
    exit 1
fi

# cpack names the file it made; taking that name leaves older packages in the folder out of it.
(cd "$build" && cpack -G ZIP) >"$build/package.log" 2>&1 || { cat "$build/package.log"; exit 1; }
package=$(sed -n -E 's/^CPack: - package: (.*) generated\.$/\1/p' "$build/package.log")
[ -f "$package" ] || { cat "$build/package.log"; echo "no package made"; exit 1; }
echo "$package"

if [ "$1" = smoke ]; then
    scripts/setup.sh wine64 unzip
    scripts/wine-smoke.sh "$package" "$build/bin/standin-caster.exe" "$build/bin/winlist.exe"
fi
