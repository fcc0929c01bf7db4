#!/usr/bin/env bash
# Soak: runs the real watchdog for a long time over a stand-in caster that crashes, hangs, finds
# itself started twice and gets its settings file stuck, on a schedule; then checks the watchdog's
# log line by line (bench/soakcheck.awk) and prints what happened. Not part of CI.
#
#     scripts/soak.sh                  a simulated day on a clock sped up 100 times (~15 min)
#     scripts/soak.sh --hours 48       two simulated days
#     scripts/soak.sh --minutes 30     30 real minutes on the sped-up clock (50 simulated hours)
#     scripts/soak.sh --real           an hour in real time, no libfaketime
#     scripts/soak.sh --real --minutes 20
#   also: --rate N (speed factor, default 100), --seed N (the schedule's dice), --keep (keep the
#   scratch folder), --check LOG (only check an existing log).
#
# Time runs faster through libfaketime (Debian package "faketime"), preloaded into the watchdog only,
# together with bench/fakestatx.c, which moves file times onto the same fast clock (Qt reads them
# with statx, which libfaketime leaves alone). The casters run on the real clock with their rewrite
# interval scaled down instead.
#
# Run as root (as it should be), everything runs in a private PID namespace: the watchdog's listing
# and ending commands see only the soak's casters, not those of anyone else on the machine, and
# whatever is left at the end dies with the namespace. The log, the console output, the schedule
# and the report are kept in build-bench/soak-<time>/.
# In braces: bash reads the whole script before running it, so an edit made while it runs
# cannot change what it does halfway.
{
set -euo pipefail
# shellcheck source=bench/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../bench/lib.sh"

rate=100
hours=24
minutes=
real=0
seed=1
keep=0
check_log=
inside=0
out_dir=
args=("$@")
while (($#)); do
    case $1 in
    --rate) rate=$2; shift 2 ;;
    --hours) hours=$2; shift 2 ;;
    --minutes) minutes=$2; shift 2 ;;
    --real) real=1; shift ;;
    --seed) seed=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --check) check_log=$2; shift 2 ;;
    --inside) inside=1; out_dir=$2; shift 2 ;;
    -h | --help) sed -n '2,25p' "$0"; exit 0 ;;
    *) zb_die "unknown argument: $1 (see --help)" ;;
    esac
done
[[ $rate =~ ^[1-9][0-9]*$ ]] || zb_die "--rate takes a whole number"
checker=$zb_root/bench/soakcheck.awk

if [ -n "$check_log" ]; then
    awk -f "$checker" "$check_log"
    exit $?
fi

if ((real)); then
    rate=1
    minutes=${minutes:-60}
fi
# Real seconds the schedule runs for.
if [ -n "$minutes" ]; then
    run_s=$((minutes * 60))
else
    run_s=$((hours * 3600 / rate))
fi

if ((!inside)); then
    ((real)) || zb_find_faketime >/dev/null \
        || zb_die "libfaketime is missing (apt-get install faketime), or run with --real"
    zb_ensure_built
    out_dir=$zb_build/soak-$(date +%Y%m%d-%H%M%S)
    mkdir -p "$out_dir"
    if [ "$(id -u)" -eq 0 ]; then
        echo "Running as root: the soak runs in a private PID namespace (unshare), so that it sees only its own casters."
    fi
    if ((real)); then
        echo "Soak: $((run_s / 60)) minutes in real time, seed $seed; output in $out_dir"
    else
        echo "Soak: $((run_s / 60)) real minutes, x$rate clock ($((run_s * rate / 3600)) simulated hours), seed $seed; output in $out_dir"
    fi
    status=0
    zb_isolated "$0" "${args[@]}" --inside "$out_dir" || status=$?
    exit $status
fi

# --- Inside the private process table ---

RANDOM=$seed
scratch=$(mktemp -d -t zuva-soak.XXXXXX)
caster_dir=$scratch/caster
engine=$scratch/engine/brindleCast.exe
state=$scratch/state
settings=$scratch/config/MORQ/brindleCast.ini
mkdir -p "$caster_dir" "$scratch/engine" "$state" "$scratch/config"
export HOME=$scratch XDG_CONFIG_HOME=$scratch/config
unset STANDIN_MODE STANDIN_EXIT_AFTER_MS STANDIN_CHATTY STANDIN_CHILD STANDIN_PIDFILE
# Ten simulated seconds between rewrites: well inside the 360 s the watchdog allows.
export STANDIN_INTERVAL_MS=$((10000 / rate > 20 ? 10000 / rate : 20))

# The stand-in binary keeps the caster's file name, so the listing shows one "brindleCast.exe" line
# per caster however it was started; it lives outside the caster folder so that only the wrapper
# is what the watchdog starts.
cp "$zb_bin/standin-caster" "$engine"
# What the watchdog starts: takes the behaviour the schedule chose for this launch, then becomes
# the stand-in. Only builtins until the exec, since a forked subshell would show in the listing
# as a second caster.
cat >"$caster_dir/brindleCast.exe" <<EOF
#!/bin/bash
mode=normal
if [ -s "$state/next-mode" ]; then
    read -r mode <"$state/next-mode"
    : >"$state/next-mode"
fi
echo "\$mode" >>"$state/launch-modes"
unset LD_PRELOAD FAKETIME FAKETIME_SHARED
export STANDIN_MODE=\$mode
exec "$engine" "\$@"
EOF
chmod +x "$caster_dir/brindleCast.exe"

schedule=$out_dir/schedule.txt
: >"$schedule"
watchdog=
soak_started_ms=$(zb_now_ms)

# Simulated seconds since the soak began, and the real milliseconds that a simulated span takes.
sim_now() { echo $((($(zb_now_ms) - soak_started_ms) * rate / 1000)); }
sim_ms() { echo $(($1 * 1000 / rate)); }
sim_sleep() { zb_sleep_until $(($(zb_now_ms) + $(sim_ms "$1"))); }

note() {
    local t
    t=$(sim_now)
    printf '%02d:%02d:%02d  %s\n' $((t / 3600)) $((t / 60 % 60)) $((t % 60)) "$*" >>"$schedule"
}

# The pids of the running casters, as the watchdog's own listing command sees them.
casters() {
    "$zb_bin/tasklist" | awk '{ sub(/\r$/, "") } index(tolower($1), "brindlecast") { print $2 }'
}

cleanup() {
    exec 2>/dev/null # bash would report every job ended here as "Killed"
    [ -n "$watchdog" ] && kill -KILL "$watchdog"
    local pid
    # Everything named like the caster in this process table is ours.
    for pid in $(casters); do
        kill -KILL "$pid"
    done
    jobs -p | xargs -r kill -KILL
    wait
    if ((keep)); then echo "scratch folder kept: $scratch" >&2; else rm -rf "$scratch"; fi
}
trap cleanup EXIT

# Simulated seconds since the settings file was last written (a large number when there is none).
settings_age() {
    local mtime
    mtime=$(stat -c %.3Y "$settings" 2>/dev/null) || { echo 999999; return; }
    echo $(((${EPOCHREALTIME/[.,]/} / 1000 - ${mtime/./}) * rate / 1000))
}

# Whether the process is frozen (stopped by a signal).
frozen() {
    local stat
    { stat=$(<"/proc/$1/stat"); } 2>/dev/null || return 1
    stat=${stat##*) }
    [ "${stat:0:1}" = T ]
}

# Waits until exactly one healthy caster has been running, the same one, for `settle` simulated
# seconds: not frozen, its settings file rewritten within the last minute. A launched caster is then
# past the 180 s after which lock-ups are looked for, and a fault in progress (a frozen or silent
# caster the watchdog has yet to find) is never mistaken for a settled state. Prints its pid;
# fails after `limit` simulated seconds.
wait_settled() { # <settle> <limit>
    local deadline=$(($(zb_now_ms) + $(sim_ms "$2"))) seen='' since=0 pids
    while (($(zb_now_ms) < deadline)); do
        mapfile -t pids < <(casters)
        if ((${#pids[@]} == 1)) && ! frozen "${pids[0]}" && (($(settings_age) < 60)); then
            if [ "${pids[0]}" != "$seen" ]; then
                seen=${pids[0]}
                since=$(zb_now_ms)
            elif (($(zb_now_ms) - since >= $(sim_ms "$1"))); then
                echo "$seen"
                return 0
            fi
        else
            seen=
        fi
        sleep 0.05
    done
    return 1
}

# Waits for a caster other than <pid> to run alone; prints its pid.
wait_replaced() { # <pid> <limit>
    local deadline=$(($(zb_now_ms) + $(sim_ms "$2"))) pids
    while (($(zb_now_ms) < deadline)); do
        mapfile -t pids < <(casters)
        if ((${#pids[@]} == 1)) && [ "${pids[0]}" != "$1" ]; then
            echo "${pids[0]}"
            return 0
        fi
        sleep 0.02
    done
    return 1
}

# A second copy, started the way an operator would start one by hand.
start_duplicate() {
    (cd "$caster_dir" && exec env -u LD_PRELOAD -u FAKETIME STANDIN_MODE=normal "$engine" \
        </dev/null >/dev/null 2>&1) &
    disown $! # the watchdog ends it; bash need not report that
}

# The settings file rewritten with the same bytes every time, carrying a time <age> simulated
# seconds old: what a caster does that restores its settings from a stale copy. The file is
# replaced in one rename, so the watchdog never sees it half done.
rewrite_settings_stale() { # <age>
    local tmp=$settings.soak
    printf '[General]\r\nbeat=steady\r\n' >"$tmp"
    local real_age_us=$(($1 * 1000000 / rate)) now=${EPOCHREALTIME/[.,]/}
    local then=$((now - real_age_us))
    touch -d "@$((then / 1000000)).$(printf '%06d' $((then % 1000000)))" "$tmp"
    mv -f "$tmp" "$settings"
}

declare -A fired=()
event() { # <kind> <caster pid>
    local kind=$1 pid=$2 next
    fired[$kind]=$((${fired[$kind]:-0} + 1))
    note "$kind (caster $pid)"
    case $kind in
    crash) kill -KILL "$pid" ;;
    # A second crash while the restart gate is still closed: the watchdog must hold back.
    crash-twice)
        kill -KILL "$pid"
        next=$(wait_replaced "$pid" 300) || { note "  no new caster"; return; }
        sim_sleep 20
        note "  crash again (caster $next)"
        kill -KILL "$next"
        ;;
    hang) kill -STOP "$pid" ;;
    hang-at-launch)
        echo hang >"$state/next-mode"
        kill -KILL "$pid"
        ;;
    duplicate) start_duplicate ;;
    two-duplicates) start_duplicate; start_duplicate ;;
    # A copy started soon after a restart: both are ended, and the launch is held back.
    duplicate-after-launch)
        kill -KILL "$pid"
        next=$(wait_replaced "$pid" 300) || { note "  no new caster"; return; }
        sim_sleep 20
        note "  duplicate (caster $next running)"
        start_duplicate
        ;;
    # The caster freezes, then its settings come back with the same bytes and an old time.
    stale-settings)
        kill -STOP "$pid"
        sim_sleep 250
        rewrite_settings_stale 130
        ;;
    quiet) ;;
    esac
}

kinds=(crash crash-twice hang hang-at-launch duplicate two-duplicates duplicate-after-launch stale-settings quiet)
watchdog_env=(TZ=UTC)
# Gaps between faults, simulated seconds: on the fast clock long quiet spells cost little; in real
# time they would leave an hour with only a handful of faults.
gap_min=300 gap_span=900
if ((real)); then
    gap_min=60 gap_span=240
else
    watchdog_env+=(LD_PRELOAD="$(zb_find_faketime) $zb_shim" FAKETIME="+0 x$rate")
fi
(cd "$caster_dir" && exec env "${watchdog_env[@]}" "$zb_bin/ZUVAserviceMon" >"$out_dir/console.txt" 2>&1) &
watchdog=$!
note "watchdog started (pid $watchdog), x$rate clock"

end_ms=$((soak_started_ms + run_s * 1000))
skipped=0
while (($(zb_now_ms) < end_ms)); do
    kill -0 "$watchdog" 2>/dev/null || zb_die "the watchdog ended by itself"
    # Never past the end of the run: in real time a settled caster may take long to come.
    left=$(((end_ms - $(zb_now_ms)) * rate / 1000))
    if ! pid=$(wait_settled 200 $((left < 1800 ? left : 1800))); then
        ((left >= 1800)) || break # the run's end came first
        note "no single settled caster within 30 simulated minutes; no fault this time"
        ((++skipped))
        continue
    fi
    (($(zb_now_ms) < end_ms)) || break
    event "${kinds[RANDOM % ${#kinds[@]}]}" "$pid"
    sim_sleep $((gap_min + RANDOM % gap_span))
done

# Time to recover from the last fault, then the watchdog stops; the caster must stay, alone.
wait_settled 200 1800 >/dev/null || note "no single healthy caster at the end"
kill -TERM "$watchdog"
wait "$watchdog" || true
watchdog=
sleep 0.5
final=$(casters | wc -l)
note "watchdog stopped; $final caster(s) running"

log=$(ls "$caster_dir"/ZUVAmon_log_*.txt)
cp "$log" "$out_dir/"
{
    echo "Schedule ($((run_s / 60)) real minutes, x$rate clock, seed $seed):"
    for kind in "${kinds[@]}"; do
        printf '  %-24s %d\n' "$kind" "${fired[$kind]:-0}"
    done
    printf '  %-24s %d\n' "skipped (no settled caster)" "$skipped"
    echo "Launch modes chosen by the wrapper: $(sort "$state/launch-modes" | uniq -c | awk '{ printf "%s %s  ", $2, $1 }')"
    echo
    echo "Log check ($(basename "$log"), $(wc -l <"$log") lines):"
} | tee "$out_dir/report.txt"
status=0
awk -f "$checker" -v final_casters="$final" "$log" | tee -a "$out_dir/report.txt" || status=1

# The faults the schedule caused must each have been seen for what they were. A stale-settings
# fault is taken for files locked up only once the watchdog has a checksum to compare with, which
# it keeps from the first such fault on; the first one is found as an app lock-up instead.
count_of() { grep -c "$1" "$log" || true; }
stale=${fired[stale-settings]:-0}
comparison=$(mktemp)
compare() { # <what> <expected> <found>
    local verdict=ok
    [ "$2" -eq "$3" ] || { verdict=MISMATCH; status=1; }
    printf '  %-28s %4d / %-4d %s\n' "$1" "$2" "$3" "$verdict" >>"$comparison"
}
compare "app locked up" $((${fired[hang]:-0} + ${fired[hang-at-launch]:-0} + (stale > 0 ? 1 : 0))) \
    "$(count_of '^ZUVA app appears LOCKED UP')"
compare "files locked up" $((stale > 0 ? stale - 1 : 0)) "$(count_of '^ZUVA files appear LOCKED UP')"
compare "multiple copies" \
    $((${fired[duplicate]:-0} + ${fired[two-duplicates]:-0} + ${fired[duplicate-after-launch]:-0})) \
    "$(count_of '^Detected Multiple copies')"
{
    echo
    echo "Faults against detections (expected / found):"
    cat "$comparison"
    echo
    if ((status == 0)); then
        echo "SOAK VERDICT: every rule held"
    else
        echo "SOAK VERDICT: FAILED (see above)"
    fi
} | tee -a "$out_dir/report.txt"
rm -f "$comparison"
exit $status
}
