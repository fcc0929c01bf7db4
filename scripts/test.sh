#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: against Qt 5 and Qt 6, the unit and
# fault tests again under AddressSanitizer and UndefinedBehaviorSanitizer, the static checks, and
# the Windows build with its smoke run under Wine (building the Qt for Windows first where there is none).
# The tests mostly wait, for the watchdog's ticks, pauses and budgets, so they run while the builds
# compile: each test as soon as it is built, the longest first. The time of each part is printed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh g++ make cmake ninja-build musl-tools qtbase5-dev qt6-base-dev faketime util-linux clang-tidy cppcheck \
    strace
# Ninja compiles the targets of one build at once where make takes them one after the other; a build
# folder configured before keeps its own generator.
export CMAKE_GENERATOR=${CMAKE_GENERATOR:-Ninja}

started=$SECONDS
jobs=$(nproc)
parts=$(mktemp)
trap 'rm -f "$parts"' EXIT
# Each part notes when it began and ended, in the background too: "<part>|<from>|<to>".
took() { # <part> <SECONDS when it began>
    echo "$1|$(($2 - started))|$((SECONDS - started))" >>"$parts"
}

# Compiling takes the cores; the tests beside it, which wait, are to be woken on time.
compile() { # <build dir> [cmake --build options...]
    local dir=$1
    shift
    nice -n 10 cmake --build "$dir" -j"$jobs" "$@" >>"$dir/build.log" 2>&1 || { cat "$dir/build.log"; return 1; }
}

# Each test that looks at processes runs in a process table of its own, so tests of all builds can run
# at the same time without seeing each other's casters.
logs=()
test_jobs=()
run_tests() { # <build dir> <name> <ctest options...>
    local dir=$1 log=$1/test-$2.log
    shift 2
    logs+=("$log")
    (
        since=$SECONDS
        (cd "$dir" && ctest --output-on-failure -j"$((jobs * 4))" "$@") >"$log" 2>&1 || true
        took "tests $dir" "$since"
    ) &
    test_jobs+=($!)
}

# These take longest: they start as soon as they and the programs they run are built, the longest
# first, as many built at once as there are cores. The rest of the build's selection, with any left
# over, runs once everything is built.
first=(tst_faults tst_timerhandler tst_commands tst_supervision tst_eventlog tst_pauseclock tst_companions)
build_and_test() { # <build dir> <ctest options selecting its tests> <cmake options...>
    local dir=$1 selection=$2 since=$SECONDS test tests wanted=() i
    shift 2
    mkdir -p "$dir"
    : >"$dir/build.log"
    cmake -S . -B "$dir" "$@" >"$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; return 1; }
    # shellcheck disable=SC2086 # the selection is ctest's options, as words
    tests=$(cd "$dir" && ctest -N $selection | sed -n -E 's/^ *Test +#[0-9]+: //p')
    for test in "${first[@]}"; do
        if grep -qx "$test" <<<"$tests"; then wanted+=("$test"); fi
    done
    for ((i = 0; i + jobs <= ${#wanted[@]}; i += jobs)); do
        compile "$dir" --target "${wanted[@]:i:jobs}" || return 1
        run_tests "$dir" "${wanted[i]}" -R "^($(IFS='|' && echo "${wanted[*]:i:jobs}"))\$"
    done
    compile "$dir" || return 1
    # shellcheck disable=SC2086
    run_tests "$dir" others $selection -E "^($(IFS='|' && echo "${wanted[*]:0:i}"))\$"
    took "build $dir" "$since"
    if grep -E "warning:" "$dir/build.log"; then
        echo "$dir: the build must be free of warnings"
        return 1
    fi
}

# The Windows package, built and then smoke-run under Wine beside the rest. Where no Qt for Windows is
# at hand, the first run builds one (10-15 minutes) and keeps it.
mkdir -p build-win
(
    since=$SECONDS
    nice -n 10 scripts/windows.sh package >build-win/smoke.log 2>&1 || exit 1
    took "build build-win" "$since"
    since=$SECONDS
    status=0
    scripts/windows.sh smoke >>build-win/smoke.log 2>&1 || status=1
    took "smoke under Wine" "$since"
    exit $status
) &
windows=$!

status=0
# The watchdog, its timer and its caster process objects live until the process ends by design, so
# an exit-time leak check would report only those; growth over time is the benchmark's business.
export ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
build_and_test build "" -DCMAKE_BUILD_TYPE=RelWithDebInfo || status=1
# The static checks need only the first build's compile commands; they take the cores with the builds.
(
    since=$SECONDS
    status=0
    nice -n 10 scripts/static-checks.sh build >build/static-checks.log 2>&1 || status=1
    took "static checks" "$since"
    exit $status
) &
static_checks=$!
build_and_test build-asan "-L unit|faults" -DCMAKE_BUILD_TYPE=Debug -DZUVA_SANITIZE=ON || status=1
build_and_test build-qt6 "" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUVA_QT_MAJOR=6 || status=1

wait "$static_checks" || status=1
for job in "${test_jobs[@]}"; do wait "$job"; done
passed=0 failed=0
for log in "${logs[@]}"; do
    echo "===== $log ====="
    cat "$log"
    summary=$(grep -E "tests passed, [0-9]+ tests failed out of [0-9]+" "$log" || true)
    [ -n "$summary" ] || { status=1; continue; }
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
    bad=$(sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/' <<<"$summary")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
    ((bad == 0)) || status=1
done
echo "===== static checks ====="
cat build/static-checks.log

echo "===== Windows ====="
if wait "$windows"; then passed=$((passed + 1)); else failed=$((failed + 1)) status=1; fi
cat build-win/smoke.log

# A build's tests, from the first one's start to the last one's end, with the longest of them.
echo "===== Where the time went (seconds since the start) ====="
printf '%-44s %5s %5s %5s\n' part from to took
awk -F'|' '{ if (!($1 in from) || $2 < from[$1]) from[$1] = $2; if ($3 > to[$1]) to[$1] = $3 }
    END { for (part in from) print part "|" from[part] "|" to[part] }' "$parts" | sort -t'|' -k2n -k3n \
    | while IFS='|' read -r part from to; do
        if [[ $part == "tests "* ]]; then
            part+=$(cat "${part#tests }"/test-*.log | sed -n -E 's/.*Test +#[0-9]+: ([^ ]+) .* ([0-9.]+) sec$/\2 \1/p' \
                | sort -n | tail -n 1 | awk '{ printf " (longest: %s, %d s)", $2, $1 }')
        fi
        printf '%-44s %5d %5d %5d\n' "$part" "$from" "$to" $((to - from))
    done
printf '%-44s %5d %5d %5d\n' "in all" 0 $((SECONDS - started)) $((SECONDS - started))
echo "$passed passed, $failed failed"
exit $status
