#!/usr/bin/env bash
# Runs the Windows package under Wine, in a fresh prefix and scratch folders:
#  - the package holds the watchdog, with its manifest, and its texts, and nothing else; the watchdog
#    imports no DLL but Windows' own;
#  - unzipped into a folder without the caster, the watchdog writes header, banner and fatal block,
#    and on Ctrl+C its stop block;
#  - the events, and only they, go to the event log too, with their types; the message table that
#    gives them their text is in the watchdog;
#  - unzipped next to the stand-in caster and the caster's own Qt5Core.dll and MinGW runtime (files no
#    program can load), keeping them, its first check starts the caster by its bare name, and the caster
#    goes on running after the watchdog has stopped; unzipped with "replace all", it replaces none of them;
#  - with a caster already running, the first check finds it and starts nothing; ended from outside,
#    that caster is started again at once;
#  - Ctrl+C typed at the watchdog's terminal while a slow listing runs stops the watchdog within 2 s,
#    without waiting for the listing, and leaves exactly the one caster running;
#  - a caster the watchdog started that is killed between checks is checked on at once;
#  - the session's end (log off, shutdown) while a listing runs, a caster running: the log ends with one
#    stop block, and the event log has its entry, before the watchdog is ended.
# Wine's own tasklist prints nothing, so a listing command of the test's own (built as winlist.exe)
# sits beside the watchdog as tasklist.exe. Log and console are compared byte for byte, times masked.
#   scripts/wine-smoke.sh <package zip> <stand-in caster .exe> <listing .exe>
set -euo pipefail
export LC_ALL=C
[ $# -eq 3 ] || { echo "usage: $0 <package zip> <stand-in caster .exe> <listing .exe>" >&2; exit 2; }

# The smoke starts casters, and a listing or a kill elsewhere on the machine must not see them: as root
# it gets a process table of its own, which takes every process it started with it when it ends.
if [ "$(id -u)" -eq 0 ] && [ $$ -ne 1 ]; then
    exec unshare --pid --fork --mount-proc --kill-child "$0" "$@"
fi

package=$(realpath "$1")
standin=$(realpath "$2")
listing=$(realpath "$3")
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
started=$SECONDS

failures=0
pass() { echo "ok:   $*"; }
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

scratch=$(cd "$(mktemp -d)" && pwd -P)
# Wine must leave no menu entries or file associations in the user's home, and a prefix without
# .NET and the HTML engine is ready in seconds.
mkdir "$scratch/home"
export WINEPREFIX=$scratch/prefix WINEDEBUG=-all HOME=$scratch/home XDG_CONFIG_HOME=$scratch/home/.config \
    XDG_DATA_HOME=$scratch/home/.local/share WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
watchdog=
cleanup() {
    [ -z "$watchdog" ] || kill -KILL "$watchdog" 2>/dev/null || true
    if [ -d "$WINEPREFIX" ]; then
        "$wineserver" -k 2>/dev/null || true
        "$wineserver" -w 2>/dev/null || true
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT

# --- What the log and the console must hold ---

# Windows text mode writes every LF as CR LF, also the LFs that end the watchdog's own CR LF pairs.
text_mode() { sed 's/$/\r/'; }
log_bytes() { printf '%s\r\n' "$@" | text_mode; }
console_bytes() { printf 'Log: %s\r\n' "$@" | text_mode; }
# Times change from run to run, and the zone's name is Wine's to choose (it must not be empty).
mask() {
    sed -E -e 's/[0-9]{2}\.[0-9]{2}\.[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}/<T>/g' \
        -e 's/^((Log: )?# Instance Created <T>) .*[^ ] \(all times local\)\r/\1 <zone> (all times local)\r/'
}

header=(
    "# ZUVA Monitoring log, event log file."
    "# Instance Created <T> <zone> (all times local)"
    "#  Used to record ZUVA NTRIP Caster service restart events."
    "#  ZUVAserviceMon.exe' runs as an application (not a service)  and it checks"
    "#  to confirm that brindleCast.exe is running on the machine."
    "#  If not running, it will start/restart the program if required."
    "#  This log file is appended to with events, with a new file once a week."
    "#  Questions? - See https://support.example.com/zuva-caster/kb"
    "#  --"
)
banner=("  " "# " "# ZUVA Monitoring Tool (Rev 1.1) started at: <T>" "# ")
stop_block=("# Monitoring service was stopped at: <T>" "# ")

# <what> <actual file> <expected bytes file>
compare() {
    if mask <"$2" | cmp -s - "$3"; then
        pass "$1"
    else
        fail "$1, expected (<) and masked actual (>):"
        diff <(cat -A "$3") <(mask <"$2" | cat -A) || true
    fi
}

# <what> <folder> <event lines...>: the run's log and console hold the header, the banner, these
# lines and the stop block, byte for byte.
compare_run() {
    local what=$1 folder=$2
    shift 2
    log_bytes "${header[@]}" "${banner[@]}" "$@" "${stop_block[@]}" >"$scratch/expected.log"
    console_bytes "${header[@]}" "${banner[@]}" "$@" "${stop_block[@]}" >"$scratch/expected.console"
    compare "$what: log" "$folder"/ZUVAmon_log_*.txt "$scratch/expected.log"
    compare "$what: console" "$folder.console" "$scratch/expected.console"
}

# <what> <folder> <"class text"...>: the entries the run gave the event log, in order. Wine's event log
# is a stub that prints them on its debug channel: the type as the class (err: error, warn: warning,
# trace: information), the text escaped as in C.
compare_events() {
    local what=$1 folder=$2
    shift 2
    printf '%s\n' "$@" >"$scratch/expected.events"
    sed -n -E 's/^[0-9a-f]+:([a-z]+):eventlog:ReportEventW L"(.*)"\r?$/\1 \2/p' "$folder.stderr" >"$folder.events"
    compare "$what: event log" "$folder.events" "$scratch/expected.events"
}

# The week's log: numbered by whole weeks since 1 January 2019 (UTC). Either side of a week's start
# may be right when a run straddles it.
week_now() { echo $((($(date -u +%s) / 86400 - $(date -u -d 2019-01-01 +%s) / 86400) / 7)); }

# --- The package ---

contents=$(unzip -Z1 "$package" | sort | tr '\n' ' ')
expected_contents="ZUVAserviceMon-Qt-LICENSE.GPL3.txt ZUVAserviceMon-Qt-LICENSE.LGPL3.txt ZUVAserviceMon-README.txt ZUVAserviceMon.exe "
if [ "$contents" = "$expected_contents" ]; then
    pass "package holds the watchdog and its texts at its top, each named after it, nothing else"
else
    fail "package contents: $contents (expected: $expected_contents)"
fi

unzip -q "$package" ZUVAserviceMon.exe -d "$scratch/exe"
headers=$(x86_64-w64-mingw32-objdump -p "$scratch/exe/ZUVAserviceMon.exe")
# Resource type 24 is the manifest, id 1 the one the loader applies to a program.
if grep -A2 "Entry: ID: 0x000018," <<<"$headers" | grep -q "Entry: ID: 0x000001," \
    && grep -qa 'requestedExecutionLevel level="asInvoker"' "$scratch/exe/ZUVAserviceMon.exe"; then
    pass "manifest asking for no elevation is embedded"
else
    fail "no asInvoker manifest in the watchdog's resources"
fi
# Type 11: the message table that gives the event log entries their text in the Event Viewer.
if grep -q "Entry: ID: 0x00000b," <<<"$headers"; then
    pass "message table for the event log is embedded"
else
    fail "no message table in the watchdog's resources"
fi
if grep -Eq "Subsystem[[:space:]]+00000003" <<<"$headers"; then
    pass "console program"
else
    fail "the watchdog is not a console program"
fi
if grep -q "symbols stripped" <<<"$headers"; then
    pass "stripped"
else
    fail "the watchdog keeps its symbols"
fi
# A DLL of any other name may be in the caster's folder in the caster's release, and Windows would load it.
system_dlls="advapi32.dll kernel32.dll msvcrt.dll netapi32.dll ole32.dll shell32.dll user32.dll userenv.dll
    version.dll winmm.dll ws2_32.dll"
imports=$(sed -n -E 's/^[[:space:]]*DLL Name: (.*)$/\1/p' <<<"$headers" | sort -f)
foreign=$(grep -vixF -f <(tr -s ' \n' '\n' <<<"$system_dlls") <<<"$imports" || true)
if [ -n "$imports" ] && [ -z "$foreign" ]; then
    pass "the watchdog imports only Windows' own DLLs: ${imports//$'\n'/ }"
else
    fail "the watchdog imports ${imports//$'\n'/ }; not Windows' own: ${foreign//$'\n'/ }"
fi

# --- Running it ---

"$wine" wineboot -i >"$scratch/wineboot.log" 2>&1 || { cat "$scratch/wineboot.log"; fail "wineboot"; exit 1; }

# Now and then Wine gives a program's Qt event dispatcher no message window ("CreateWindow() for
# QEventDispatcherWin32 internal window failed"), and a watchdog without one never ticks. That is
# Wine's doing, not the watchdog's, so such a start is undone and made once more.
# What it costs, as the run's pass line on Ctrl+C shows: the time from its start to the banner in the log,
# and the peak RSS of its process (Wine runs the program in the process it was started as).
start_watchdog() { # <folder>
    local attempt deadline
    for attempt in 1 2; do
        started_at=$EPOCHREALTIME
        (cd "$1" && exec "$wine" ZUVAserviceMon.exe >"$1.console" 2>"$1.stderr") &
        watchdog=$!
        deadline=$((SECONDS + 10))
        until grep -qs "started at: " "$1"/ZUVAmon_log_*.txt || ((SECONDS >= deadline)); do sleep 0.05; done
        startup_ms=$(((${EPOCHREALTIME/./} - ${started_at/./}) / 1000))
        sleep 1
        grep -qs "CreateWindow() for QEventDispatcherWin32" "$1.stderr" || return 0
        echo "note: Wine gave the watchdog no message window; starting it again"
        kill -KILL "$watchdog" 2>/dev/null || true
        wait "$watchdog" 2>/dev/null || true
        rm -f "$1"/ZUVAmon_log_*.txt
    done
}

wait_for_line() { # <folder> <text> <seconds>
    local deadline=$((SECONDS + $3))
    until cat "$1"/ZUVAmon_log_*.txt 2>/dev/null | grep -qF -- "$2"; do
        if ((SECONDS >= deadline)) || ! kill -0 "$watchdog" 2>/dev/null; then
            fail "no \"$2\" in the log within $3 s"
            cat "$1.console" "$1.stderr"
            return 1
        fi
        sleep 0.2
    done
}

# Wine hands SIGINT to the program as the console's Ctrl+C.
stop_watchdog() {
    local deadline=$((SECONDS + 20)) status=0 peak_kb
    peak_kb=$(sed -n -E 's/^VmHWM:[[:space:]]*([0-9]+) kB$/\1/p' "/proc/$watchdog/status" 2>/dev/null || true)
    kill -INT "$watchdog"
    while kill -0 "$watchdog" 2>/dev/null; do
        if ((SECONDS >= deadline)); then
            fail "the watchdog did not end on Ctrl+C"
            kill -KILL "$watchdog"
            break
        fi
        sleep 0.2
    done
    wait "$watchdog" || status=$?
    watchdog=
    if ((status == 0)); then
        pass "ended on Ctrl+C with exit code 0 (banner $startup_ms ms after the start, peak RSS $((peak_kb / 1024)) MB)"
    else
        fail "exit code $status after Ctrl+C"
    fi
}

# <folder> <week before the run>
check_log_name() {
    local names week_after
    week_after=$(week_now)
    names=$(cd "$1" && echo ZUVAmon_log_*.txt)
    if [ "$names" = "ZUVAmon_log_$2.txt" ] || [ "$names" = "ZUVAmon_log_$week_after.txt" ]; then
        pass "log file $names"
    else
        fail "log file(s) $names, expected ZUVAmon_log_$week_after.txt"
    fi
}

# The stand-in caster's folder as an operator finds it: a Qt caster keeps Qt5Core.dll and the MinGW runtime
# beside it, here in a release no program can load. The package is unzipped into it, keeping the files
# already there unless told to replace them all (-o); either way the caster's own are left as they were.
caster_dlls=(Qt5Core.dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
caster_folder() { # <folder> [-o]
    mkdir "$1"
    local dll replaced=()
    for dll in "${caster_dlls[@]}"; do echo "the caster's own $dll" >"$1/$dll"; done
    unzip -q "${2:--n}" "$package" -d "$1"
    for dll in "${caster_dlls[@]}"; do
        echo "the caster's own $dll" | cmp -s - "$1/$dll" || replaced+=("$dll")
    done
    if ((${#replaced[@]} == 0)); then
        pass "unzip ${2:--n} left the caster's ${caster_dlls[*]} as they were"
    else
        fail "unzip ${2:--n} replaced the caster's ${replaced[*]}"
    fi
    cp "$standin" "$1/brindleCast.exe"
    cp "$listing" "$1/tasklist.exe"
}

# How many casters the prefix runs, as the listing shows them.
casters() { # <folder>
    (cd "$1" && "$wine" tasklist.exe) | grep -ci '^brindleCast\.exe ' || true
}

expect_casters() { # <what> <folder> <count>
    local count
    count=$(casters "$2")
    if [ "$count" = "$3" ]; then
        pass "$1: $3 caster(s) running afterwards"
    else
        fail "$1: $count caster(s) running afterwards, expected $3"
    fi
}

start_caster() { # <folder>
    (cd "$1" && exec "$wine" brindleCast.exe >/dev/null 2>&1) &
    local deadline=$((SECONDS + 20))
    until [ "$(casters "$1")" = 1 ]; do
        if ((SECONDS >= deadline)); then
            fail "the stand-in caster does not show in the listing"
            return 1
        fi
        sleep 0.5
    done
}

# Ends every program in the prefix, casters included.
end_wine() {
    "$wineserver" -k 2>/dev/null || true
    "$wineserver" -w 2>/dev/null || true
}

# Ends the casters, so that the next case starts from none. Wine itself keeps running: a Wine started
# afresh now and then gives the next Qt program no message window for its event loop, and a watchdog
# without one never ticks.
end_casters() { # <folder>
    "$wine" taskkill /IM brindleCast.exe /F >/dev/null 2>&1 || true
    local deadline=$((SECONDS + 10))
    until [ "$(casters "$1")" = 0 ] || ((SECONDS >= deadline)); do sleep 0.2; done
}

# Without a display Wine creates no top-level window, which is what hears of the session's end; its null
# graphics driver creates them, unseen. The desktop takes it up when Wine starts again.
"$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 || fail "null graphics driver"
end_wine

# 1. No caster in the folder.
folder=$scratch/no-caster
mkdir "$folder"
unzip -q "$package" -d "$folder"
week=$(week_now)
WINEDEBUG=-all,+eventlog start_watchdog "$folder"
if wait_for_line "$folder" "correct folder." 30; then
    sleep 1
    stop_watchdog
    check_log_name "$folder" "$week"
    # The folder as Windows sees it: Wine maps the Unix root to drive Z.
    fatal=($'###\r\n\r\n# FATAL ERROR: The ZUVA NTRIP Caster program was not found, \r\n#  Looking at: '"Z:$folder/brindleCast.exe"$' \r\n'
        " -- Monitoring process now disabled, unable to find ZUVA."
        " -- To configure, please place this tool in the correct folder.")
    compare_run "no caster (header, banner, fatal block, stop block)" "$folder" "${fatal[@]}"
    compare_events "no caster" "$folder" "trace ${banner[2]}" "err ${fatal[0]//$'\r\n'/\\r\\n}" \
        "err ${fatal[1]}" "err ${fatal[2]}" "trace ${stop_block[0]}"
fi

# 2. The stand-in as the caster, not running, the package unzipped keeping the caster's own DLLs: the
# watchdog needs none of them, and its first check starts the caster.
folder=$scratch/with-caster
caster_folder "$folder"
settings=$WINEPREFIX/drive_c/users/$(id -un)/AppData/Roaming/MORQ/brindleCast.ini
export STANDIN_INTERVAL_MS=1000
week=$(week_now)
start_watchdog "$folder"
if wait_for_line "$folder" "ZUVA application process was restarted... (1)" 45; then
    stop_watchdog
    check_log_name "$folder" "$week"
    lines=("At startup, Detected ZUVA not running, restarted at: <T>" "ZUVA application process was restarted... (1)")
    compare_run "with caster (header, banner, start at the first check, stop block)" "$folder" "${lines[@]}"

    beat() { sed -n -E 's/^beat=([0-9]+)\r?$/\1/p' "$settings" 2>/dev/null; }
    if [ -f "$settings" ]; then
        pass "the caster writes its settings to the roaming application data folder"
        first=$(beat)
        deadline=$((SECONDS + 8))
        while [ "$(beat)" = "$first" ] && ((SECONDS < deadline)); do sleep 0.2; done
        if [ "$(beat)" != "$first" ]; then
            pass "the caster goes on running after the watchdog has stopped"
        else
            fail "the caster stopped rewriting its settings when the watchdog ended (beat $first)"
        fi
    else
        fail "no settings file at $settings:"
        find "$WINEPREFIX/drive_c/users" -name '*.ini'
    fi
    expect_casters "with caster" "$folder" 1
fi
end_casters "$folder"

# 3. A caster already running, the package unzipped with "replace all": the first check finds the caster
# and starts nothing. Ended from outside a second later, it is started again at once, not at the next
# tick (14 s on), although the watchdog did not start it.
folder=$scratch/running
caster_folder "$folder" -o
week=$(week_now)
if start_caster "$folder"; then
    start_watchdog "$folder"
    if wait_for_line "$folder" "At startup, Detected ZUVA" 30; then
        sleep 1
        "$wine" taskkill /IM brindleCast.exe /F >/dev/null 2>&1 || true
        killed=$(date +%s%N)
        if wait_for_line "$folder" "ZUVA application process was restarted... (1)" 5; then
            pass "a caster started before the watchdog is started again $((($(date +%s%N) - killed) / 1000000)) ms after it was ended"
        fi
        stop_watchdog
        check_log_name "$folder" "$week"
        lines=("At startup, Detected ZUVA running (<T>)" "Detected ZUVA not running, (0) restarted at: <T> (0)."
            "ZUVA application process was restarted... (1)")
        compare_run "running caster (found at the first check, answered when ended, stop block)" "$folder" "${lines[@]}"
        expect_casters "running caster" "$folder" 1
    fi
fi
end_casters "$folder"

# 4. Ctrl+C typed at the watchdog's terminal while its listing runs, with a caster running. Wine turns
# the key into the console's Ctrl+C only on a terminal, which script provides; the terminal sends the
# key as SIGINT to its whole foreground process group, as it would for an operator. The listing takes
# 8 s and the key comes 3 s into the first check: the watchdog must abandon the listing without taking
# it for "no caster", and write its stop block within 2 s, well inside the 5 s a closed console allows.
# The shell keeps the terminal open after the watchdog has ended: its hang-up would end what is left in
# its process group, where Wine leaves the casters the watchdog started, before they could be counted.
folder=$scratch/ctrl-c
caster_folder "$folder"
week=$(week_now)
if start_caster "$folder"; then
    mkfifo "$scratch/keys"
    ZUVA_TEST_LISTING_DELAY_MS=8000 script -q -e -c "trap : INT; cd '$folder' \
        && '$wine' ZUVAserviceMon.exe >'$folder.console' 2>'$folder.stderr'; echo \$? >'$folder.status'; read -r _" \
        /dev/null <"$scratch/keys" >"$folder.terminal" &
    watchdog=$!
    exec 3>"$scratch/keys"
    if wait_for_line "$folder" "# ZUVA Monitoring Tool" 30; then
        sleep 18
        typed=$(date +%s%N)
        printf '\003' >&3
        # The listing would end 5 to 6 s after the key. A watchdog that is late is still waited for, so
        # that the log shows what it did in the end.
        until [ -s "$folder.status" ] || (($(date +%s%N) - typed >= 30000000000)); do sleep 0.1; done
        took=$((($(date +%s%N) - typed) / 1000000))
        if [ ! -s "$folder.status" ]; then
            fail "the watchdog still ran $took ms after Ctrl+C typed at the terminal"
        else
            ((took <= 2000)) || fail "the watchdog ended $took ms after Ctrl+C typed at the terminal, expected within 2 s"
            if [ "$(cat "$folder.status")" = 0 ]; then
                pass "exit code 0 after Ctrl+C typed at the terminal (ended $took ms after it)"
            else
                fail "exit code $(cat "$folder.status") after Ctrl+C typed at the terminal"
            fi
        fi
        check_log_name "$folder" "$week"
        # No line of the check: a key that came after the listing had ended would leave the check's
        # "At startup" line, and one that cut the listing must not make it a "not running".
        lines=()
        compare_run "Ctrl+C during the listing (listing abandoned, one stop block)" "$folder" "${lines[@]}"
        expect_casters "Ctrl+C during the listing" "$folder" 1
    fi
    # A watchdog still running is ended with the rest of the prefix; then the shell may close the terminal.
    end_wine
    printf '\n' >&3
    exec 3>&-
    wait "$watchdog" || true
    watchdog=
fi

# 5. The caster the watchdog started is killed right after the second tick (30 s) found it running:
# the watchdog checks at once rather than at the next tick (45 s), and, inside the 120 s gate, holds
# the launch back. The answer may take until shortly before that tick: on a busy machine Wine takes
# seconds to start each program, the listing among them.
folder=$scratch/killed
caster_folder "$folder"
start_watchdog "$folder"
if wait_for_line "$folder" "ZUVA application process was restarted... (1)" 45; then
    sleep 16
    "$wine" taskkill /IM brindleCast.exe /F >/dev/null 2>&1 || true
    before_tick=$((43 - (${EPOCHREALTIME/./} - ${started_at/./}) / 1000000))
    if ((before_tick < 3)); then
        fail "the caster was killed too close to the next tick to tell"
    elif wait_for_line "$folder" "  Delayed, restart number 1 still too recent..." "$before_tick"; then
        pass "a killed caster is answered before the next tick"
        stop_watchdog
        lines=("At startup, Detected ZUVA not running, restarted at: <T>" "ZUVA application process was restarted... (1)"
            "Detected ZUVA not running, (1) restarted at: <T> (1)." "  Delayed, restart number 1 still too recent...")
        compare_run "killed caster (checked at once, the launch held back)" "$folder" "${lines[@]}"
    fi
fi
end_casters "$folder"

# 6. The session ends, as at a log off or a shutdown, while the watchdog runs beside the caster: every
# top-level window is told, then every process is ended (this ends the whole of Wine, so it comes last).
# The end comes 4 s into the first check's listing, which takes 12 s: the watchdog answers while it
# waits for the command. The log then ends with exactly one stop block and no line of the check, and the
# event log has its entry.
folder=$scratch/session-end
caster_folder "$folder"
if start_caster "$folder"; then
    ZUVA_TEST_LISTING_DELAY_MS=12000 WINEDEBUG=-all,+eventlog start_watchdog "$folder"
    sleep 17
    "$wine" wineboot --end-session --kill --force --shutdown >/dev/null 2>&1 || fail "wineboot --end-session"
    # Whatever the session's end left running goes too: nothing can be added to the log after that.
    end_wine
    wait "$watchdog" || true
    watchdog=
    log_bytes "${header[@]}" "${banner[@]}" "${stop_block[@]}" >"$scratch/expected.log"
    compare "session's end during a listing: log, one stop block" "$folder"/ZUVAmon_log_*.txt "$scratch/expected.log"
    compare_events "session's end" "$folder" "trace ${banner[2]}" "trace ${stop_block[0]}"
fi

echo "Windows smoke under Wine: $failures failure(s), $((SECONDS - started)) s"
((failures == 0))
