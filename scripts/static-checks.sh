#!/usr/bin/env bash
# clang-tidy (checks in .clang-tidy) and cppcheck over the product's sources. <build dir> must hold
# compile_commands.json from a configured build.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

sources=(app/*.cpp monitor/*.cpp platform/caster.cpp platform/console.cpp platform/files.cpp platform/command.cpp
    platform/processwatch.cpp platform/systemlog.cpp platform/stop_posix.cpp platform/posix/*.c)
status=0
clang-tidy -p "$build" --quiet "${sources[@]}" >"$build/clang-tidy.log" 2>&1 || status=1
if grep -E "(warning|error):" "$build/clang-tidy.log"; then
    status=1
fi
cppcheck --enable=warning,performance,portability --library=qt --std=c++17 --inline-suppr \
    --error-exitcode=1 -q app monitor platform || status=1

if [ $status -eq 0 ]; then echo "static checks: clean"; else echo "static checks: findings above"; fi
exit $status
