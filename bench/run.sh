#!/usr/bin/env bash
# Measures what the watchdog costs and prints a table, each figure beside its target. Not a test:
# nothing here passes or fails; only a broken run (a script error) ends with a non-zero status.
#
#     bench/run.sh                   everything, about twenty minutes
#     bench/run.sh --idle-minutes 2  a shorter idle comparison with monit (default 6 minutes)
#     bench/run.sh --launches 300    fewer launches in the accelerated part, and fewer adoptions
#     bench/run.sh --deaths 20       more casters killed in the crash part (default 10 of each: the
#                                    watchdog's own, and one started by hand)
#     bench/run.sh --bin old=DIR     also the watchdog in DIR (beside its companions) in the idle
#                                    comparison and the crash part, named "old"; may be given more
#                                    than once
#
# Each part runs the real build/bin programs (built into build-bench/ if missing) in a scratch
# folder. Run as root, each part gets a process table of its own (a PID namespace), so that the
# watchdog's listing and ending commands see only the casters the part started, and nothing the
# part leaves behind outlives it, and CPU is counted by a cpuacct cgroup per supervisor. Not as
# root, the parts run on the shared process table, with a warning, and without the CPU figures.
# HOME and XDG_CONFIG_HOME always point into the scratch folder.
# In braces: bash reads the whole script before running it, so an edit made while it runs
# cannot change what it does halfway.
{
set -euo pipefail
# shellcheck source=bench/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

launch_target=1000
launch_budget_s=${ZUVA_BENCH_LAUNCH_BUDGET_S:-540}
launch_rate=${ZUVA_BENCH_RATE:-500}
crash_deaths=10
# Slow enough that a launch which waited for the 15 s tick would show (1.5 s real), fast enough that
# the 120 s gate passes in 12 s.
crash_rate=10
idle_minutes=6
labels=("this build")
bins=("$zb_bin")
part=
out=
cgroup=
key=
sup=
while (($#)); do
    case $1 in
    --launches) launch_target=$2; shift 2 ;;
    --deaths) crash_deaths=$2; shift 2 ;;
    --idle-minutes) idle_minutes=$2; shift 2 ;;
    --bin) labels+=("${2%%=*}"); bins+=("${2#*=}"); shift 2 ;;
    # What the outer run hands each part.
    --part) part=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --cgroup) cgroup=$2; shift 2 ;;
    --key) key=$2; shift 2 ;;
    --sup) sup=$2; shift 2 ;;
    -h | --help) sed -n '2,18p' "$0"; exit 0 ;;
    *) zb_die "unknown argument: $1" ;;
    esac
done
[[ $idle_minutes =~ ^[1-9][0-9]*$ ]] || zb_die "--idle-minutes takes a whole number of minutes"
[[ $crash_deaths =~ ^[1-9][0-9]*$ ]] || zb_die "--deaths takes a whole number"
# The first cycle of each supervisor is left out (see part_idle).
idle_cycles=$((idle_minutes * 4 - 2))

# --- Inside one part (already in its own process table) ---

started_pids=()
scratch=

record() { # <key> <value>
    echo "$1=$2" >>"$out"
}

# Ends whatever this part started, however it ends.
part_cleanup() {
    local pid
    exec 2>/dev/null # bash would report every job ended here as "Killed"
    for pid in "${started_pids[@]}"; do
        kill -KILL "$pid" 2>/dev/null || true
    done
    # The casters the watchdog started are not our children.
    for pid in $(caster_pids); do
        kill -KILL "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    [ -n "$scratch" ] && rm -rf "$scratch"
    return 0
}

# A private process table keeps our listings from seeing other casters, but not other casters'
# owners from seeing ours: a process-ending command run on the machine's own process table ends
# casters in every namespace. Such a run is not measured but done again (status 3).
disturbed() {
    echo "disturbed: $*" >&2
    exit 3
}

# The casters running from our scratch folder; in a namespace of our own there are no others, but
# on the shared process table there may be.
caster_pids() {
    [ -n "$scratch" ] && [ -d "$scratch/caster" ] || return 0
    local exe pid
    for exe in /proc/[0-9]*/exe; do
        [ "$(readlink "$exe" 2>/dev/null)" = "$scratch/caster/brindleCast.exe" ] || continue
        pid=${exe#/proc/}
        echo "${pid%/exe}"
    done
}

# A caster folder holding the stand-in, with HOME and the settings home beside it.
make_scratch() {
    scratch=$(mktemp -d -t zuva-bench.XXXXXX)
    mkdir -p "$scratch/caster" "$scratch/config"
    cp "$zb_bin/standin-caster" "$scratch/caster/brindleCast.exe"
    export HOME=$scratch XDG_CONFIG_HOME=$scratch/config
    unset STANDIN_MODE STANDIN_EXIT_AFTER_MS STANDIN_INTERVAL_MS STANDIN_CHATTY STANDIN_CHILD STANDIN_PIDFILE
}

# Starts the watchdog of <bin> (default: this build) in the caster folder and in the part's cgroup,
# with extra words for env in front ("VAR=value" ..., then perhaps a command to run it under). Sets
# watchdog.
start_watchdog() {
    (cd "$scratch/caster" && zb_cgroup_join "$cgroup" \
        && exec env "$@" "${watchdog_bin:-$zb_bin}/ZUVAserviceMon" >"$scratch/console.txt" 2>&1) &
    watchdog=$!
    started_pids+=("$watchdog")
}

stop_watchdog() {
    kill -TERM "$watchdog" 2>/dev/null || true
    wait "$watchdog" 2>/dev/null || true
}

# The event log without its CRs.
log_text() {
    cat "$scratch"/caster/ZUVAmon_log_*.txt 2>/dev/null | tr -d '\r' || true
}

# Waits up to <ms> for a log line that contains <text>; the time it appeared in zb_now_ms, or fails.
wait_for_log() { # <text> <ms>
    local deadline=$(($(zb_now_ms) + $2))
    while (($(zb_now_ms) < deadline)); do
        if log_text | grep -qF -- "$1"; then
            zb_now_ms
            return 0
        fi
        sleep 0.05
    done
    return 1
}

# monit over the same caster, as the watchdog's nearest equivalent: a 15 s cycle that looks for the
# caster by name in the process table and starts it when missing; no web interface, every file it
# keeps in the scratch folder. Sets monit_pid.
start_monit() {
    # monit waits for its start program to return, hence the caster in the background.
    cat >"$scratch/start-caster" <<EOF
#!/bin/sh
cd '$scratch/caster' && HOME='$scratch' XDG_CONFIG_HOME='$scratch/config' ./brindleCast.exe </dev/null >/dev/null 2>&1 &
EOF
    cat >"$scratch/monitrc" <<EOF
set daemon 15
set log $scratch/monit.log
set idfile $scratch/monit.id
set statefile $scratch/monit.state
set pidfile $scratch/monit.pid
check process caster matching "brindleCast\.exe"
    start program = "$scratch/start-caster"
EOF
    chmod 700 "$scratch/start-caster"
    chmod 600 "$scratch/monitrc" # monit refuses a control file others can read
    (cd "$scratch" && zb_cgroup_join "$cgroup" && exec monit -I -c "$scratch/monitrc" >"$scratch/console.txt" 2>&1) &
    monit_pid=$!
    started_pids+=("$monit_pid")
}

# One supervisor (--sup: monit, or the folder of a watchdog build) over a caster that runs before
# it starts, so that every check cycle has nothing to do. The caster stays outside the part's
# cgroup; the supervisor enters it before its first cycle, and the commands it runs follow it. The
# first cycle (monit's comes at once, the watchdog's after 15 s) is left out: the window opens
# 22.5 s after the start and spans whole 15 s periods, so both have run exactly idle_cycles cycles in
# it, with 7.5 s to spare on either side.
part_idle() {
    [ -n "$cgroup" ] || zb_die "part idle needs --cgroup"
    make_scratch
    (cd "$scratch/caster" && exec ./brindleCast.exe </dev/null >/dev/null 2>&1) &
    local caster=$!
    started_pids+=("$caster")
    local deadline=$(($(zb_now_ms) + 5000))
    while [ ! -f "$scratch/config/MORQ/brindleCast.ini" ]; do
        (($(zb_now_ms) < deadline)) || zb_die "the stand-in caster wrote no settings file"
        sleep 0.05
    done

    local pid t0
    t0=$(zb_now_ms)
    if [ "$sup" = monit ]; then
        start_monit
        pid=$monit_pid
    else
        watchdog_bin=$sup start_watchdog
        pid=$watchdog
    fi
    zb_sleep_until $((t0 + 22500))
    local ns1 ns2
    ns1=$(<"$cgroup/cpuacct.usage")
    zb_sleep_until $((t0 + 22500 + idle_cycles * 15000))
    ns2=$(<"$cgroup/cpuacct.usage")
    record "${key}_cpu_ns" $((ns2 - ns1))
    record "${key}_rss_kb" "$(zb_status "$pid" VmRSS)"
    record "${key}_rss_anon_kb" "$(zb_status "$pid" RssAnon)"
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true

    # Idle throughout: the first caster still runs, alone, and the supervisor did nothing about it.
    # Anything else means someone ended it from outside (see disturbed).
    kill -0 "$caster" 2>/dev/null && [ "$(caster_pids | wc -l)" -eq 1 ] \
        || disturbed "the caster was ended during the idle run"
    local events
    if [ "$sup" = monit ]; then
        events=$(grep "'caster'" "$scratch/monit.log" || true)
        [ -z "$events" ] || disturbed "monit acted: $events"
    else
        events=$(log_text | grep -v '^#' | grep -v '^ *$' || true)
        [ "$events" = "$(grep '^At startup, Detected ZUVA running (' <<<"$events")" ] && [ -n "$events" ] \
            || disturbed "the idle run did something: $events"
    fi
}

# The 10 s pause after a launch: no caster at the start, so the first tick (15 s) launches one and
# pauses. The window runs from 1 s to 8 s after the launch's log line, well inside the pause.
# The run also gives what each log line costs on this machine's disk: strace stops the watchdog only at
# its writes and syncs (seccomp: not in the pause), with a file of its own for each thread (-ff), and
# times each call (-T, its own stops included).
part_pause() {
    make_scratch
    start_watchdog strace -D -ff --seccomp-bpf -T -y -e trace=write,fdatasync -o "$scratch/trace"
    local launched
    launched=$(wait_for_log "ZUVA application process was restarted... (1)" 30000) \
        || zb_die "the watchdog launched no caster within 30 s"
    zb_sleep_until $((launched + 1000))
    local t1 t2 ns1 ns2
    t1=$(zb_now_ms)
    read -r u1 s1 _ _ < <(zb_cpu_ticks "$watchdog")
    ns1=$(zb_runtime_ns "$watchdog")
    zb_sleep_until $((launched + 8000))
    t2=$(zb_now_ms)
    read -r u2 s2 _ _ < <(zb_cpu_ticks "$watchdog")
    ns2=$(zb_runtime_ns "$watchdog")
    local hwm
    hwm=$(zb_status "$watchdog" VmHWM)
    local lines
    lines=$(log_text | grep -v '^#' | grep -cv '^ *$' || true)
    # Each line logged so far (strace writes its own lines as they come): its write, which is what the
    # line costs the checks, and its sync, on the syncs' own thread (µs).
    awk -v written="$scratch/written" -v synced="$scratch/synced" '
        /ZUVAmon_log_/ && match($0, /<[0-9.]+>$/) {
            t = substr($0, RSTART + 1, RLENGTH - 2) * 1e6
            print t >(/^write/ ? written : synced)
        }' "$scratch"/trace.*
    stop_watchdog
    # Two event lines (the finding and the launch) and nothing since: the window lay in the pause.
    [ "$lines" -eq 2 ] || disturbed "the pause window saw other events ($lines lines)"

    record pause_window_ms $((t2 - t1))
    record pause_cpu_ticks $(((u2 + s2) - (u1 + s1)))
    record pause_cpu_ns $((ns2 - ns1))
    record pause_hwm_kb "$hwm"
    summarise "$scratch/written" line_written >>"$out"
    summarise "$scratch/synced" line_synced >>"$out"
}

# Times <runs> runs of a command into <file> (ms, one per line), then runs it <runs> times more in
# the part's cgroup and appends <prefix>_cpu_ns, the CPU they took together. Each of those runs is a
# subshell that moves itself into the cgroup and execs the command; what the subshell alone costs
# there (the end of the move, and giving up its copy of the shell's memory, which the exec does) is
# measured beside it, run for run, and taken off. The move costs wall time, hence separate runs.
time_runs() { # <runs> <file> <prefix> <command...>
    local runs=$1 file=$2 prefix=$3 i t0 t1 samples=()
    shift 3
    for ((i = 0; i < runs; ++i)); do
        t0=${EPOCHREALTIME/[.,]/}
        "$@" >/dev/null
        t1=${EPOCHREALTIME/[.,]/}
        samples+=($((t1 - t0)))
    done
    printf '%s\n' "${samples[@]}" | awk '{ printf "%.3f\n", $1 / 1000 }' >"$file"
    [ -n "$cgroup" ] || return 0
    local ns0 ns1 ns=0
    for ((i = 0; i < runs; ++i)); do
        ns0=$(<"$cgroup/cpuacct.usage")
        (zb_cgroup_join "$cgroup")
        ns1=$(<"$cgroup/cpuacct.usage")
        (zb_cgroup_join "$cgroup" && exec "$@") >/dev/null
        ns=$((ns + $(<"$cgroup/cpuacct.usage") - ns1 - (ns1 - ns0)))
    done
    record "${prefix}_cpu_ns" "$ns"
}

summarise() { # <file of ms values> <prefix>
    sort -n "$1" | awk -v p="$2" '
        { v[NR] = $1; sum += $1 }
        END {
            median = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
            printf "%s_mean=%.2f\n%s_median=%.2f\n%s_max=%.2f\n%s_runs=%d\n", p, sum / NR, p, median, p, v[NR], p, NR
        }'
}

# The listing command alone: 50 runs on a nearly empty process table, then 50 with 1,000 extra
# sleeping processes. Starting any program at all costs something; /bin/true shows how much.
part_listing() {
    scratch=$(mktemp -d -t zuva-bench.XXXXXX)
    time_runs 50 "$scratch/true" start_only /bin/true
    summarise "$scratch/true" start_only >>"$out"
    time_runs 50 "$scratch/base" listing_base "$zb_bin/tasklist"
    summarise "$scratch/base" listing_base >>"$out"
    record listing_base_lines "$("$zb_bin/tasklist" | wc -l)"

    local i
    for ((i = 0; i < 1000; ++i)); do
        sleep 3600 &
        started_pids+=($!)
        disown $! # bash reports each job ended by a signal as "Killed": not worth 1,000 lines
    done
    record listing_loaded_lines "$("$zb_bin/tasklist" | wc -l)"
    time_runs 50 "$scratch/loaded" listing_loaded "$zb_bin/tasklist"
    summarise "$scratch/loaded" listing_loaded >>"$out"
    kill -KILL "${started_pids[@]}" 2>/dev/null || true
    started_pids=()
}

# "<launches>:<RSS kB>:<fds>:<threads>:<children>:<zombies>" of the watchdog now. A listing or a
# launch in progress holds a few pipes open for a moment: the fewest descriptors of five looks,
# 10 ms apart, is what the watchdog keeps.
launch_state() { # <launches>
    local children fds fewest=999999 i
    for ((i = 0; i < 5; ++i)); do
        fds=$(zb_fd_count "$watchdog")
        ((fds < fewest)) && fewest=$fds
        sleep 0.01
    done
    children=$(zb_children "$watchdog")
    echo "$1:$(zb_status "$watchdog" VmRSS):$fewest:$(zb_status "$watchdog" Threads):${children// /:}"
}

# Memory and descriptors across many launches. A launch may come only every 120 s, so the clock is
# sped up with libfaketime (timers, the pause and the restart gate all follow it); the casters exit
# as soon as they have started, so every check cycle finds none and launches or is held back.
part_launches() {
    local faketime
    faketime=$(zb_find_faketime) || { record launches_skipped "libfaketime not installed (package faketime)"; return 0; }
    make_scratch
    export STANDIN_EXIT_AFTER_MS=0
    local run_started
    run_started=$(zb_now_ms)
    start_watchdog LD_PRELOAD="$faketime $zb_shim" FAKETIME="+0 x$launch_rate" TZ=UTC
    sample_states launches "$run_started" launches_so_far
    local hwm
    hwm=$(zb_status "$watchdog" VmHWM)
    stop_watchdog
    record launches_done "$count"
    record launches_samples "$states"
    record launches_hwm_kb "$hwm"
    record launches_real_s $((($(zb_now_ms) - run_started) / 1000))
    record launches_rate "$launch_rate"
    record launches_delayed "$(log_text | grep -c "  Delayed, restart number" || true)"
    # The same rules the soak checks: every launch answered a detection, none within 120 s. The gate
    # counts from the moment the caster has been started, and the few milliseconds a start takes are
    # seconds on this clock; since a caster's exit is checked on at once, checks come close to the gate.
    record launches_violations "$(awk -v tolerance=$((2 + launch_rate / 100)) -f "$zb_root/bench/soakcheck.awk" "$scratch"/caster/ZUVAmon_log_*.txt \
        | sed -n 's/^rule violations: *//p')"
    # The fake span from the start banner to the stop block: the speed the run really had.
    record launches_fake_span "$(log_text | awk '
        { if (match($0, /[0-9][0-9]\.[0-9][0-9]\.[0-9][0-9][0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9]/)) {
              s = substr($0, RSTART, RLENGTH)
              if (!have) { start = s; have = 1 }
              stop = s } }
        END { print start " .. " stop }')"
}

# Samples launch_state at 1, 10, 100, 250, ... launch_target of what <command> counts, or when the
# budget runs out; sets count and states.
sample_states() { # <part> <start ms> <command>
    local part=$1 deadline=$(($2 + launch_budget_s * 1000)) marks=(1 10 100 250 500 750 1000) next=0 mark
    count=0 states=""
    while :; do
        count=$("$3")
        mark=${marks[next]:-$launch_target}
        ((mark > launch_target)) && mark=$launch_target
        if ((count >= mark)); then
            states+="$(launch_state "$count") "
            ((mark >= launch_target)) && break
            ((++next))
            continue
        fi
        if (($(zb_now_ms) > deadline)); then
            states+="$(launch_state "$count") "
            record "${part}_cut_short" "the budget of ${launch_budget_s} s ran out"
            break
        fi
        kill -0 "$watchdog" 2>/dev/null || zb_die "the watchdog ended during the $part run"
        sleep 0.1
    done
}

launches_so_far() {
    log_text | grep -c "ZUVA application process was restarted\.\.\. (" || true
}

adoptions_so_far() {
    wc -l <"$scratch/listings"
}

# Descriptors and memory across many adoptions: the watchdog watches the end of the one caster a
# check finds, whoever started it. A listing command of the part's own names a fresh process as the
# caster at every run (a short sleep it starts), so that every check watches a new one, and each
# one's end brings the next check at once.
part_adoptions() {
    make_scratch
    mkdir "$scratch/bin"
    cp "$zb_bin/ZUVAserviceMon" "$zb_bin/taskkill" "$scratch/bin/"
    cat >"$scratch/bin/tasklist" <<EOF
#!/bin/sh
sleep 0.02 </dev/null >/dev/null 2>&1 &
printf '\\r\\nbrindleCast.exe %d\\r\\n' \$!
echo >>'$scratch/listings'
EOF
    chmod +x "$scratch/bin/tasklist"
    : >"$scratch/listings"
    local run_started
    run_started=$(zb_now_ms)
    watchdog_bin=$scratch/bin start_watchdog
    sample_states adoptions "$run_started" adoptions_so_far
    stop_watchdog
    record adoptions_done "$count"
    record adoptions_samples "$states"
    # From the first check (15 s) on.
    record adoptions_real_s $((($(zb_now_ms) - run_started) / 1000 - 15))
    local events
    events=$(log_text | grep -v '^#' | grep -v '^ *$' || true)
    [ "$events" = "$(grep '^At startup, Detected ZUVA running (' <<<"$events")" ] && [ -n "$events" ] \
        || disturbed "the adoption run did something: $events"
}

# How soon a launched caster that dies is replaced once the 120 s gate allows it. As often as
# --deaths says, the caster the watchdog launched last is killed (SIGKILL) 125 to 140 s of the
# watchdog's clock after it started: long after the cycle that launched it, and at any point of the
# 15 s tick, as a crash would come. The time from the kill to the next caster's start is taken on the
# real clock. The watchdog's clock runs crash_rate times fast (with the statx shim, so that the
# settings file of a healthy caster does not look stale); the way from a caster's end to the next
# launch waits on no timer, so it keeps its real pace. A caster has started when it has noted its
# pid: the pid file's modification time, which the kernel sets on the real clock whatever clock the
# caster runs on, to within a tick of the kernel's coarse clock.
# After each, the caster launched in its place is ended inside the gate instead, one is started by
# hand at once (as an operator would), and once the next tick has found it, it is killed the same way.
part_crash() {
    local faketime
    faketime=$(zb_find_faketime) || { record crash_skipped "libfaketime not installed (package faketime)"; return 0; }
    make_scratch
    export STANDIN_PIDFILE=$scratch/pids
    : >"$STANDIN_PIDFILE"
    watchdog_bin=$sup start_watchdog LD_PRELOAD="$faketime $zb_shim" FAKETIME="+0 x$crash_rate" TZ=UTC
    local pids=() launched=() adopted=() i n=1 up launch_up killed deadline caster
    # Waits for the n-th caster to note its pid; sets pids and up.
    caster_up() {
        deadline=$(($(zb_now_ms) + 30000))
        while mapfile -t pids <"$STANDIN_PIDFILE" && ((${#pids[@]} < n)); do
            (($(zb_now_ms) < deadline)) || zb_die "caster $n did not start within 30 s"
            kill -0 "$watchdog" 2>/dev/null || zb_die "the watchdog ended during the crash run"
            sleep 0.1
        done
        up=$(stat -c %.6Y "$STANDIN_PIDFILE")
        up=${up/[.,]/}
    }
    # Odd deaths are of the caster the watchdog launched, even ones of a caster started by hand.
    for ((i = 1; i <= 2 * crash_deaths + 1; ++i)); do
        caster_up
        if ((i > 1 && i % 2 == 0)); then
            launched+=($((up - killed)))
        elif ((i > 1)); then
            adopted+=($((up - killed)))
        fi
        ((i <= 2 * crash_deaths)) || break
        launch_up=$up
        caster=${pids[n - 1]}
        if ((i % 2 == 0)); then
            # Past the launch's pause, inside the gate: the launch is held back.
            zb_sleep_until $((up / 1000 + 12000 / crash_rate))
            kill -KILL "$caster"
            deadline=$(($(zb_now_ms) + 10000))
            until (($(log_text | grep -c '^  Delayed, ' || true) == i / 2)); do
                (($(zb_now_ms) < deadline)) || zb_die "the end of caster $n was not answered"
                sleep 0.01
            done
            (cd "$scratch/caster" && exec ./brindleCast.exe </dev/null >/dev/null 2>&1) &
            started_pids+=($!)
            disown $! # bash would report its end by a signal as "Killed"
            ((++n))
            caster_up
            caster=${pids[n - 1]}
        fi
        zb_sleep_until $((launch_up / 1000 + (125000 + RANDOM % 15000) / crash_rate))
        # Only that caster runs, and none was launched since.
        mapfile -t pids <"$STANDIN_PIDFILE"
        [ "${#pids[@]}" -eq "$n" ] && [ "$(caster_pids)" = "$caster" ] \
            || disturbed "caster $n was ended or joined from outside"
        killed=${EPOCHREALTIME/[.,]/}
        kill -KILL "$caster"
        ((++n))
    done
    stop_watchdog

    # Every kill past the gate was answered by one detection and one launch, the one inside it by a
    # detection and a delay, and nothing else happened.
    local expected events c=1 d
    expected="At startup, Detected ZUVA not running, restarted at: <T>"$'\n'"ZUVA application process was restarted... (1)"
    for ((d = 1; d <= crash_deaths; ++d)); do
        expected+=$'\n'"Detected ZUVA not running, ($c) restarted at: <T> ($c)."
        expected+=$'\n'"ZUVA application process was restarted... ($((++c)))"
        expected+=$'\n'"Detected ZUVA not running, ($c) restarted at: <T> ($c)."
        expected+=$'\n'"  Delayed, restart number $c still too recent..."
        expected+=$'\n'"Detected ZUVA not running, ($c) restarted at: <T> ($c)."
        expected+=$'\n'"ZUVA application process was restarted... ($((++c)))"
    done
    events=$(log_text | grep -v '^#' | grep -v '^ *$' \
        | sed -E 's/[0-9]{2}\.[0-9]{2}\.[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}/<T>/' || true)
    [ "$events" = "$expected" ] || disturbed "the crash run logged other events:"$'\n'"$events"
    printf '%s\n' "${launched[@]}" | awk '{ printf "%.3f\n", $1 / 1000 }' >"$scratch/launched"
    summarise "$scratch/launched" "$key" >>"$out"
    printf '%s\n' "${adopted[@]}" | awk '{ printf "%.3f\n", $1 / 1000 }' >"$scratch/adopted"
    summarise "$scratch/adopted" "${key}_adopted" >>"$out"
}

if [ -n "$part" ]; then
    [ -n "$out" ] || zb_die "--part needs --out"
    trap part_cleanup EXIT
    "part_$part"
    exit 0
fi

# --- The whole bench ---

zb_ensure_built
if qt6_bin=$(zb_ensure_built_qt6); then
    labels=("this build, Qt 5" "this build, Qt 6" "${labels[@]:1}")
    bins=("$zb_bin" "$qt6_bin" "${bins[@]:1}")
fi
for bin in "${bins[@]}"; do
    for f in ZUVAserviceMon tasklist taskkill; do
        [ -x "$bin/$f" ] || zb_die "$bin/$f is missing"
    done
done
results=$(mktemp -t zuva-bench-results.XXXXXX)
cg_root=$(zb_cgroup_make "zuva-bench.$$") || cg_root=
# By the time this runs every part has ended, and with it every process in its cgroup.
trap 'rm -f "$results"; [ -z "$cg_root" ] || rmdir "$cg_root"/*/ "$cg_root" 2>/dev/null' EXIT
started_s=$SECONDS
if [ "$(id -u)" -eq 0 ]; then
    echo "Running as root: each part runs in a private PID namespace (unshare), so that it sees only its own casters."
fi

# Runs part <p> once per supervisor named (none: once), side by side, each in a process table and
# a cgroup of its own; all of them again while any was disturbed (status 3), three times at most.
run_part() { # <p> [<supervisor>...]
    local p=$1 attempt i rc status pids cg
    shift
    local sups=("${@:-}")
    for attempt in 1 2 3; do
        echo "part $p ..." >&2
        pids=()
        for i in "${!sups[@]}"; do
            cg=
            [ -z "$cg_root" ] || { cg=$cg_root/$p$i && mkdir -p "$cg"; }
            zb_isolated "$0" --part "$p" --out "$results" --launches "$launch_target" --deaths "$crash_deaths" \
                --idle-minutes "$idle_minutes" --cgroup "$cg" --key "$p$i" --sup "${sups[i]}" &
            pids+=($!)
        done
        status=0
        for i in "${pids[@]}"; do
            rc=0
            wait "$i" || rc=$?
            ((rc == 0 || (status != 0 && status != 3))) || status=$rc
        done
        ((status == 3)) || break
        echo "${p}_retried=$attempt" >>"$results"
    done
    ((status == 0)) || zb_die "part $p failed"
}

if [ -n "$cg_root" ]; then
    command -v monit >/dev/null || "$zb_root/scripts/setup.sh" monit
    # Other work on the machine makes short bursts of CPU dearer (cold caches): worth showing.
    read -r load_before _ </proc/loadavg
    run_part idle monit "${bins[@]}"
    read -r load_after _ </proc/loadavg
fi
command -v strace >/dev/null || "$zb_root/scripts/setup.sh" strace
for p in pause listing launches adoptions; do
    run_part "$p"
done
run_part crash "${bins[@]}"

value() { sed -n "s/^$1=//p" "$results" | tail -n 1; }

# "<x> ms" from <ns> over <n> runs or cycles, or "n/a" for a figure not measured.
ms_per() { # <ns> <n>
    [ -n "$1" ] || { echo "n/a (needs root and cpuacct)"; return 0; }
    awk -v ns="$1" -v n="$2" 'BEGIN { printf "%.3f ms", ns / 1e6 / n }'
}

for p in idle pause crash; do
    [ -n "$(value ${p}_retried)" ] \
        && echo "note: part $p was disturbed from outside its process table and run again ($(value ${p}_retried) time(s))"
done
echo
if [ -z "$cg_root" ]; then
    echo "Idle check cycle beside monit: not measured (needs root and the cgroup v1 cpuacct controller)"
else
    echo "Idle check cycle beside monit: $idle_cycles cycles each, in the same $((idle_cycles * 15)) s, a caster running"
    echo "throughout; CPU from a cpuacct cgroup per supervisor (its commands included, the caster not);"
    echo "the machine's load average was $load_before before and $load_after after"
    printf '  %-34s %13s %9s %10s %10s\n' Supervisor "CPU per cycle" "vs monit" RSS RssAnon
    names=("monit $(monit -V | sed -n '1s/.*version //p')" "${labels[@]/#/watchdog, }")
    for i in "${!names[@]}"; do
        awk -v name="${names[i]}" -v ns="$(value "idle${i}_cpu_ns")" -v ref="$(value idle0_cpu_ns)" \
            -v n="$idle_cycles" -v rss="$(value "idle${i}_rss_kb")" -v anon="$(value "idle${i}_rss_anon_kb")" \
            'BEGIN { printf "  %-34s %10.3f ms %7.2f x %7d kB %7d kB\n", name, ns / 1e6 / n, ns / ref, rss, anon }'
    done
    echo "  Target: the watchdog at most 1.5 x monit per idle cycle (and below 5 ms)"
fi

window=$(value pause_window_ms)
row() { printf '%-52s %-40s %s\n' "$1" "$2" "$3"; }
echo
row "Measure" "Value" "Target"
row "-------" "-----" "------"
row "Listing CPU per run, $(value listing_base_lines) lines (no extra processes)" \
    "$(ms_per "$(value listing_base_cpu_ns)" "$(value listing_base_runs)") (exec to exit, cpuacct)" "<= 0.3 ms"
row "  with 1,000 extra, $(value listing_loaded_lines) lines" \
    "$(ms_per "$(value listing_loaded_cpu_ns)" "$(value listing_loaded_runs)")" "-"
row "  starting any program (/bin/true)" "$(ms_per "$(value start_only_cpu_ns)" "$(value start_only_runs)")" "(baseline)"
row "Listing wall time, $(value listing_base_lines) lines (no extra processes)" \
    "mean $(value listing_base_mean) ms, median $(value listing_base_median) ms" "-"
row "Listing wall time, $(value listing_loaded_lines) lines (1,000 extra)" \
    "mean $(value listing_loaded_mean) ms, median $(value listing_loaded_median) ms, max $(value listing_loaded_max)" "-"
row "  starting any program (/bin/true)" "wall mean $(value start_only_mean) ms" "(baseline)"
row "Watchdog CPU during the 10 s pause" \
    "$(awk -v ns="$(value pause_cpu_ns)" -v w="$window" 'BEGIN { printf "%.3f", ns / 1e6 / w * 100 }') % of a core (over $window ms)" "< 1 %"
row "  same, from /proc stat utime+stime" \
    "$(awk -v t="$(value pause_cpu_ticks)" -v w="$window" -v hz="$zb_clk_tck" 'BEGIN { printf "%.3f", t * 1000 / hz / w * 100 }') % ($(value pause_cpu_ticks) ticks)" "< 1 %"
row "Log line: its write; its sync, on a thread of its own" "$(awk -v m="$(value line_written_median)" \
    -v x="$(value line_written_max)" -v sm="$(value line_synced_median)" -v sx="$(value line_synced_max)" \
    -v n="$(value line_written_runs)" -v ns="$(value line_synced_runs)" \
    'BEGIN { printf "median %.3f ms, max %.3f ms (%d lines); %.3f ms, %.3f ms (%d syncs)", m / 1e3, x / 1e3, n, sm / 1e3, sx / 1e3, ns }')" "-"
mib() { awk -v k="$1" 'BEGIN { printf "%d kB = %.2f MiB", k, k / 1024 }'; }
row "Peak RSS (VmHWM), pause run" "$(mib "$(value pause_hwm_kb)")" "< 10 MB"

growth_rows() { # <part>
    [ -n "$(value "$1_cut_short")" ] && row "  cut short" "$(value "$1_cut_short")" ""
    row "  after N $1: RSS / open fds / threads / children (zombies)" "" "no growth with N"
    for sample in $(value "$1_samples"); do
        IFS=: read -r n rss fds threads children zombies <<<"$sample"
        row "    N = $n" "$rss kB / $fds fds / $threads thread(s) / $children ($zombies)" ""
    done
}
if [ -n "$(value launches_skipped)" ]; then
    row "Launch run" "skipped: $(value launches_skipped)" ""
else
    row "Peak RSS (VmHWM), launch run (libfaketime loaded)" "$(mib "$(value launches_hwm_kb)")" "< 10 MB"
    row "Launch run: launches done" \
        "$(value launches_done) of $launch_target in $(value launches_real_s) s real (x$(value launches_rate) clock)" ""
    row "  fake time span of its log" "$(value launches_fake_span)" ""
    row "  check cycles held back by the 120 s gate" "$(value launches_delayed)" ""
    row "  its log against the soak's rules" "$(value launches_violations) violation(s)" "0"
    growth_rows launches
fi
row "Adoption run: casters found and watched" \
    "$(value adoptions_done) of $launch_target in $(value adoptions_real_s) s real" ""
growth_rows adoptions
if [ -n "$(value crash_skipped)" ]; then
    row "Killed caster (past the gate) to the next one up" "skipped: $(value crash_skipped)" ""
else
    kills() { # <key>
        awk -v m="$(value "$1_median")" -v x="$(value "$1_max")" -v n="$(value "$1_runs")" \
            'BEGIN { printf "median %.3f s, max %.3f s (%d kills)", m / 1000, x / 1000, n }'
    }
    for i in "${!labels[@]}"; do
        name="Killed caster (past the gate) to the next one up"
        ((i == 0)) || name="  same, watchdog \"${labels[i]}\""
        row "$name" "$(kills "crash$i")" "median <= 0.2 s, max <= 1 s"
        row "    one started by hand, found by a check" "$(kills "crash${i}_adopted")" "the same"
    done
    row "  (x$crash_rate clock: a launch left to the tick waits up to $((15000 / crash_rate)) ms)" "" ""
fi
echo
echo "Bench took $((SECONDS - started_s)) s."
exit
}
