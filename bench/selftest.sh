#!/usr/bin/env bash
# Checks the soak's and the bench's own tools: the log checker against logs that break each rule
# (and logs that look suspicious but keep them), the statx shim, and the premise the soak rests
# on, that the real watchdog on a sped-up clock judges a healthy caster healthy and a frozen one
# locked up, and that the bench's crash part times real kills and launches. Prints one line per case;
# exit status 1 when any case fails.
set -euo pipefail
# shellcheck source=bench/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

passed=0
failed=0
ok() { passed=$((passed + 1)); echo "ok    $*"; }
fail() { failed=$((failed + 1)); echo "FAIL  $*"; }

work=$(mktemp -d -t zuva-selftest.XXXXXX)
cleanup() { rm -rf "$work"; }
trap cleanup EXIT

# --- The log checker ---

base=$(date -u -d "2026-12-31 23:50:00" +%s)
# "dd.MM.yyyy HH:mm:ss" at <seconds> after the base time (ten minutes before a new year).
at() { date -u -d "@$((base + $1))" +"%d.%m.%Y %H:%M:%S"; }

banner() {
    printf '# ZUVA Monitoring log, event log file.\r\n#  --\r\n  \r\n# \r\n'
    printf '# ZUVA Monitoring Tool (Rev 1.1) started at: %s\r\n# \r\n' "$(at 0)"
}
stop() { printf '# Monitoring service was stopped at: %s\r\n# \r\n' "$(at "$1")"; }
line() { printf '%s\r\n' "$*"; }
absent_at_start() { line "At startup, Detected ZUVA not running, restarted at: $(at "$1")"; }
absent() { line "Detected ZUVA not running, ($2) restarted at: $(at "$1") ($2)."; }
launched() { line "ZUVA application process was restarted... ($1)"; }
delayed() { line "  Delayed, restart number $1 still too recent..."; }
multiple() { line "Detected Multiple copies of ZUVA running ($(at "$1"))"; }
killed() { line "Process Kill/Restart returned $1"; }
app_lock() { line "ZUVA app appears LOCKED UP at: $(at "$1"), (for $2 sec), restarting ($3)."; }
files_lock() { line "ZUVA files appear LOCKED UP at: $(at "$1"), (for $2 sec), restarting ($3)."; }

# Runs the checker on $work/log; <expect> is "pass" or the text a violation must hold.
check_log() { # <name> <expect> [awk options...]
    local name=$1 expect=$2 output status=0
    shift 2
    output=$(awk -f "$zb_root/bench/soakcheck.awk" "$@" "$work/log") || status=$?
    if [ "$expect" = pass ]; then
        if ((status == 0)); then ok "checker: $name"; else fail "checker: $name"$'\n'"$output"; fi
    elif ((status == 1)) && grep -q "^VIOLATION.*$expect" <<<"$output"; then
        ok "checker: $name"
    else
        fail "checker: $name (expected a violation: $expect)"$'\n'"$output"
    fi
}

# A day's worth of everything the watchdog may rightly write, across midnight and a new year.
{
    banner
    line "Process listing failed at: $(at 15) (returned -2), check skipped."
    absent_at_start 30
    launched 1
    absent 55 1
    delayed 1
    line "Process listing failed at: $(at 85) (returned -1), check skipped."
    absent 150 1
    launched 2 # 120 s after the first
    multiple 270
    killed 0
    killed 128
    launched 3 # 270 + 2 x 10 s pause: 155 s after the last
    app_lock 700 400 3
    killed 0
    files_lock 710 150 3 # found in the same cycle, after the first kill
    launched 4
    files_lock 1000 130 4
    killed 0
    launched 5
    multiple 1110 # 100 s after the last launch (1000 + a kill) by the stamps, 120 s by the launch
    killed 0
    killed 128
    launched 6
    stop 1200
} >"$work/log"
check_log "every kind of event, rightly answered" pass -v final_casters=1

{
    banner
    absent_at_start 15
    launched 1
    absent 40 1
    delayed 1
    absent 55 1
    launched 2
    stop 60
} >"$work/log"
check_log "two launches 40 s apart" "launch 40 s after"

{
    banner
    absent_at_start 15
    launched 1
    multiple 95
    killed 0
    killed 128
    launched 2
    stop 200
} >"$work/log"
check_log "launch after two kills still only 100 s after the last" "launch 100 s after"

{
    banner
    absent_at_start 590
    launched 1
    absent 680 1
    launched 2
    stop 700
} >"$work/log"
check_log "gap across the new year measured in real seconds" "launch 90 s after"

{
    banner
    absent_at_start 15
    launched 1
    absent 200 1
    delayed 1
    stop 210
} >"$work/log"
check_log "held back although the last launch is old" "held back 185 s"

{
    banner
    absent_at_start 15
    delayed 0
    stop 20
} >"$work/log"
check_log "first launch of a run held back" "first launch of a run held back"

{
    banner
    absent_at_start 15
    launched 1
    multiple 300
    killed 0
    launched 2
    stop 320
} >"$work/log"
check_log "multiple copies with one kill" "1 kill(s)"

{
    banner
    absent_at_start 15
    launched 1
    app_lock 600 400 1
    launched 2
    stop 620
} >"$work/log"
check_log "lock-up without ending the caster" "without ending the caster"

{
    banner
    absent_at_start 15
    launched 1
    app_lock 600 400 1
    killed 0
    delayed 1
    stop 620
} >"$work/log"
check_log "lock-up restart held back" "app lock-up restart held back"

{
    banner
    absent_at_start 15
    launched 1
    app_lock 600 360 1
    killed 0
    launched 2
    stop 620
} >"$work/log"
check_log "app lock-up at exactly 360 s" "not older than 360"

{
    banner
    absent_at_start 15
    launched 1
    absent 300 1
    launched 3
    stop 320
} >"$work/log"
check_log "restart number skips one" "restart number 3 does not follow 1"

{
    banner
    absent_at_start 15
    launched 1
    absent 300 2
    launched 2
    stop 320
} >"$work/log"
check_log "wrong count in a detection" "count in the detection is not 1"

{
    banner
    absent_at_start 15
    launched 1
    launched 2
    stop 320
} >"$work/log"
check_log "launch nobody asked for" "no detection called for"

{
    banner
    absent_at_start 15
    launched 1
    absent 300 1
    multiple 315
    killed 0
    killed 128
    launched 2
    stop 340
} >"$work/log"
check_log "detection left unanswered" "not running detection had no answer"

{
    banner
    absent_at_start 15
    launched 1
    killed 0
    stop 30
} >"$work/log"
check_log "kill with no reason" "kill without a detection"

{
    banner
    absent_at_start 15
    launched 1
    line "Something the watchdog never says"
    stop 30
} >"$work/log"
check_log "unknown line" "never writes"

{
    banner
    absent_at_start 15
    launched 1
} >"$work/log"
check_log "no stop block" "no stop block"

{
    banner
    absent_at_start 15
    launched 1
    stop 30
} >"$work/log"
check_log "two casters at the end" "2 casters running at the end" -v final_casters=2

{
    banner
    absent_at_start 300
    launched 1
    absent 200 1
    delayed 1
    stop 320
} >"$work/log"
check_log "time running backwards" "goes backwards"

# Counts are what the soak reports; they must add up.
{
    banner
    absent_at_start 15
    launched 1
    multiple 300
    killed 0
    killed 128
    killed 128
    launched 2
    stop 400
} >"$work/counted"
counts=$(awk -f "$zb_root/bench/soakcheck.awk" "$work/counted")
if grep -q "^launches: *2$" <<<"$counts" && grep -q "^detections, multiple copies: *1$" <<<"$counts" \
    && grep -Eq "^kill results by code: .*0: 1" <<<"$counts" && grep -Eq "128: 2" <<<"$counts"; then
    ok "checker: counts launches, detections and kill codes"
else
    fail "checker: counts"$'\n'"$counts"
fi

# --- The statx shim ---

faketime=$(zb_find_faketime || true)
if [ -z "$faketime" ]; then
    echo "skip  shim and accelerated watchdog: libfaketime not installed (package faketime)"
else
    zb_ensure_built
    # Two files, one written 10 real seconds before the other, read by one process on the x100
    # clock: 1,000 of its seconds apart, the newer one at about its present time.
    now=${EPOCHREALTIME/,/.}
    touch -d "@$(awk -v n="$now" 'BEGIN { printf "%.6f", n - 10 }')" "$work/old"
    touch -d "@$now" "$work/new"
    shim_times() { # <FAKETIME> <preload>: "<apart> <newer minus now>", in seconds
        LD_PRELOAD="$2" FAKETIME="$1" stat -c %.3Y "$work/old" "$work/new" | tr '\n' ' ' \
            | awk -v now="$now" '{ printf "%d %d\n", $2 - $1 + 0.5, $2 - now }'
    }
    within() { (($1 >= $2 && $1 <= $3)); }
    read -r apart newer < <(shim_times "+0 x100" "$faketime $zb_shim")
    # The newer file lies the few real milliseconds between touch and stat (times 100) in the past.
    within "$apart" 999 1001 && within "$newer" -10 1 \
        && ok "shim: file times on the x100 clock" || fail "shim: x100 gives $apart s apart, newer at now$newer"
    read -r apart newer < <(shim_times "+0 x100,0" "$faketime $zb_shim")
    within "$apart" 999 1001 && ok "shim: factor written with a decimal comma" || fail "shim: x100,0 gives $apart s apart"
    read -r apart newer < <(shim_times "+0" "$faketime $zb_shim")
    within "$apart" 10 10 && ok "shim: no speed factor leaves times alone" || fail "shim: +0 gives $apart s apart"
    # The shim exists because libfaketime leaves statx alone; should a later libfaketime wrap it,
    # file times would be moved twice.
    read -r apart newer < <(shim_times "+0 x100" "$faketime")
    within "$apart" 10 10 && ok "libfaketime alone leaves statx times real" \
        || fail "libfaketime now moves statx times itself ($apart s apart): the shim must go"

    # --- The real watchdog on the fast clock ---
    # Healthy caster for ~25 simulated minutes: never locked up. Then frozen: locked up within
    # 360 s and a few checks, and a new caster launched.
    if [ "$(id -u)" -eq 0 ]; then
        cat >"$work/accelerated.sh" <<EOF
set -u
mount -t tmpfs tmpfs /dev/shm
mkdir -p "$work/caster" "$work/config"
cp "$zb_bin/standin-caster" "$work/caster/brindleCast.exe"
cd "$work/caster"
# The caster inherits the fast clock too: a rewrite every 5 of its seconds.
export HOME=$work XDG_CONFIG_HOME=$work/config STANDIN_INTERVAL_MS=5000
LD_PRELOAD="$faketime $zb_shim" FAKETIME="+0 x100" TZ=UTC "$zb_bin/ZUVAserviceMon" >/dev/null 2>&1 &
watchdog=\$!
sleep 15
kill -STOP \$("$zb_bin/tasklist" | awk '{ sub(/\r\$/, "") } \$1 == "brindleCast.exe" { print \$2 }')
sleep 8
kill -TERM \$watchdog
wait \$watchdog
"$zb_bin/taskkill" /IM brindleCast.exe /T /F >/dev/null 2>&1
EOF
        unshare --pid --fork --mount-proc sh -c "bash '$work/accelerated.sh'; exit 0"
        log=$(ls "$work"/caster/ZUVAmon_log_*.txt)
        events=$(tr -d '\r' <"$log" | grep -v '^#' | grep -v '^ *$')
        if grep -q "^At startup, Detected ZUVA not running, restarted at: " <<<"$(sed -n 1p <<<"$events")" \
            && [ "$(sed -n 2p <<<"$events")" = "ZUVA application process was restarted... (1)" ] \
            && grep -q "^ZUVA app appears LOCKED UP at: " <<<"$(sed -n 3p <<<"$events")"; then
            ok "watchdog at x100: healthy caster left alone for 25 minutes, found locked up once frozen"
        else
            fail "watchdog at x100: unexpected events"$'\n'"$events"
        fi
        if grep -q "^ZUVA application process was restarted... (2)$" <<<"$events" \
            && awk -f "$zb_root/bench/soakcheck.awk" -v final_casters=1 "$log" >/dev/null; then
            ok "watchdog at x100: the frozen caster was replaced, by the rules"
        else
            fail "watchdog at x100: frozen caster not replaced by the rules"$'\n'"$events"
        fi

        # The crash part as the bench runs it, with three kills of each kind: each answered by the
        # next launch, and within the bounds a caster's death is held to, whoever started the caster.
        # At its x10 clock a launch that waited for the tick would come up to 1.5 s late.
        crash() { sed -n "s/^crash0_$1=//p" "$work/crash"; }
        if zb_isolated "$zb_root/bench/run.sh" --part crash --out "$work/crash" --key crash0 --sup "$zb_bin" \
            --deaths 3 2>"$work/crash.err"; then
            [ "$(crash runs)" = 3 ] && [ "$(crash adopted_runs)" = 3 ] \
                && awk -v m="$(crash median)" -v x="$(crash max)" -v am="$(crash adopted_median)" \
                    -v ax="$(crash adopted_max)" 'BEGIN { exit !(m <= 200 && x <= 1000 && am <= 200 && ax <= 1000) }' \
                && ok "crash part: three killed casters of each kind replaced, median $(crash median) ms and" \
                    "$(crash adopted_median) ms, max $(crash max) ms and $(crash adopted_max) ms" \
                || fail "crash part: over median 200 ms or max 1000 ms"$'\n'"$(cat "$work/crash")"
        else
            fail "crash part did not finish"$'\n'"$(cat "$work/crash.err")"
        fi
    else
        echo "skip  accelerated watchdog: needs root for a private process table"
    fi
fi

echo "$passed passed, $failed failed"
((failed == 0))
