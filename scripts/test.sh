#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: against Qt 5 and Qt 6, the unit and
# fault tests again under AddressSanitizer and UndefinedBehaviorSanitizer, the static checks, and
# the Windows build with its smoke run under Wine (building the Qt for Windows first where there is none).
# The tests mostly wait, for the watchdog's ticks, pauses and budgets, so they run while the builds
# compile, each as soon as it is built, the longest first. The time of each part is printed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh g++ make cmake ninja-build musl-tools qtbase5-dev qt6-base-dev faketime util-linux \
    clang-tidy cppcheck strace
# Ninja compiles the targets of one build at once where make takes them one after the other; a build
# folder configured before keeps its own generator.
export CMAKE_GENERATOR=${CMAKE_GENERATOR:-Ninja}

started=$SECONDS
jobs=$(nproc)
parts=$(mktemp)
trap 'rm -f "$parts"' EXIT
# Each part notes when it began and ended, in the background too: "<part>|<from>|<to>".
timed() { # <part> <command...>: runs the command, notes the part's time, and fails as the command fails
    local since=$SECONDS status=0
    "${@:2}" || status=1
    echo "$1|$((since - started))|$((SECONDS - started))" >>"$parts"
    return $status
}

# Compiling takes the cores; the tests beside it, which wait, are to be woken on time.
compile() { # <build dir> [cmake --build options...]
    local dir=$1
    shift
    timed "build $dir" nice -n 10 cmake --build "$dir" -j"$jobs" "$@" >>"$dir/build.log" 2>&1 \
        || { cat "$dir/build.log"; return 1; }
}

# Each test that looks at processes runs in a process table of its own, so tests of all builds can run
# at the same time without seeing each other's casters.
logs=()
test_jobs=()
run_tests() { # <build dir> <name> <ctest options...>
    local dir=$1 log=$1/test-$2.log
    shift 2
    logs+=("$log")
    (cd "$dir" && timed "tests $dir" ctest --output-on-failure -j"$((jobs * 4))" "$@") >"$log" 2>&1 &
    test_jobs+=($!)
}

# The Windows package, built and then smoke-run under Wine beside the rest. Where no Qt for Windows is
# at hand, the first run builds one (10-15 minutes) and keeps it.
mkdir -p build-win
{
    timed "build build-win" nice -n 10 scripts/windows.sh package \
        && timed "smoke under Wine" scripts/windows.sh smoke
} >build-win/smoke.log 2>&1 &
windows=$!

status=0
# The builds, with the ctest options that select the tests each runs, and what they are configured with.
builds=()
declare -A selection
configure() { # <build dir> <ctest options> <cmake options...>
    local dir=$1
    selection[$dir]=$2
    shift 2
    mkdir -p "$dir"
    : >"$dir/build.log"
    if cmake -S . -B "$dir" "$@" >"$dir/configure.log" 2>&1; then
        builds+=("$dir")
    else
        cat "$dir/configure.log"
        status=1
    fi
}
# Without debug information, which costs the compilers an eighth of their time and no test reads.
configure build "" -DCMAKE_BUILD_TYPE=Release
configure build-asan "-L unit|faults" -DCMAKE_BUILD_TYPE=Debug -DZUVA_SANITIZE=ON
configure build-qt6 "" -DCMAKE_BUILD_TYPE=Release -DZUVA_QT_MAJOR=6

# The static checks need only the first build's compile commands. Nothing waits for them: they take
# what the compilers leave of the cores.
timed "static checks" nice -n 19 scripts/static-checks.sh build >build/static-checks.log 2>&1 &
static_checks=$!

# The watchdog, its timer and its caster process objects live until the process ends by design, so
# an exit-time leak check would report only those; growth over time is the benchmark's business.
export ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# The tests that take longest, the longest first (under the sanitizers, too). In each round every build
# builds its next ones, as many as there are cores, with the programs they run, and starts them; then
# every build builds the rest and runs whatever else its selection holds.
first=(tst_supervision tst_timerhandler tst_commands tst_faults tst_pauseclock tst_eventlog tst_companions)
declare -A wanted started broken
for dir in "${builds[@]}"; do
    # shellcheck disable=SC2086 # the selection is ctest's options, as words
    tests=$(cd "$dir" && ctest -N ${selection[$dir]} | sed -n -E 's/^ *Test +#[0-9]+: //p')
    for test in "${first[@]}"; do
        if grep -qx "$test" <<<"$tests"; then wanted[$dir]+=" $test"; fi
    done
done
for ((round = 0; round < ${#first[@]}; round += jobs)); do
    for dir in "${builds[@]}"; do
        read -r -a batch <<<"${wanted[$dir]:-}"
        batch=("${batch[@]:round:jobs}")
        if ((${#batch[@]} == 0)) || [ -n "${broken[$dir]:-}" ]; then continue; fi
        if compile "$dir" --target "${batch[@]}"; then
            run_tests "$dir" "${batch[0]}" -R "^($(IFS='|' && echo "${batch[*]}"))\$"
            started[$dir]+=" ${batch[*]}"
        else
            broken[$dir]=1
        fi
    done
done
for dir in "${builds[@]}"; do
    if [ -n "${broken[$dir]:-}" ] || ! compile "$dir"; then
        status=1
        continue
    fi
    read -r -a batch <<<"${started[$dir]:-}"
    # shellcheck disable=SC2086
    run_tests "$dir" others ${selection[$dir]} -E "^($(IFS='|' && echo "${batch[*]}"))\$"
    if grep -E "warning:" "$dir/build.log"; then
        echo "$dir: the build must be free of warnings"
        status=1
    fi
done

wait "$static_checks" || status=1
for job in "${test_jobs[@]}"; do wait "$job" || true; done
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

# Each part from its start to its end, and the time it took (its builds one after the other, its tests
# at once), with a build's longest test.
echo "===== Where the time went (seconds since the start) ====="
printf '%-46s %5s %5s %5s\n' part from to took
sort -t'|' -k1,1 -k2,2n "$parts" | awk -F'|' '
    function flush() { if (name != "") print name "|" first "|" end "|" busy + end - from }
    $1 != name { flush(); name = $1; first = from = $2; end = $3; busy = 0; next }
    $2 > end { busy += end - from; from = $2 }
    $3 > end { end = $3 }
    END { flush() }' | sort -t'|' -k2,2n -k3,3n | while IFS='|' read -r part from to busy; do
    if [[ $part == "tests "* ]]; then
        part+=$(cat "${part#tests }"/test-*.log | sed -n -E 's/.*Test +#[0-9]+: ([^ ]+) .* ([0-9.]+) sec$/\2 \1/p' \
            | sort -n | tail -n 1 | awk '{ printf " (longest: %s, %d s)", $2, $1 }')
    fi
    printf '%-46s %5d %5d %5d\n' "$part" "$from" "$to" "$busy"
done
printf '%-46s %5d %5d %5d\n' "in all" 0 $((SECONDS - started)) $((SECONDS - started))
echo "$passed passed, $failed failed"
exit $status
