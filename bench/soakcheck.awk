# Reads a watchdog event log and checks every line against the way the watchdog must behave; prints
# what happened (launches, each kind of detection, held-back restarts, kill results by code) and
# every broken rule. Exit status 0 when every rule held, 1 otherwise.
#
#     awk -f soakcheck.awk [-v final_casters=N] ZUVAmon_log_<week>.txt
#
# final_casters: how many casters were running when the watchdog was stopped (must be 1).
#
# The rules:
#  - a launch ("ZUVA application process was restarted... (N)") comes only as the answer to a
#    detection, and N counts up by one from 1 in each run of the watchdog;
#  - not running -> a launch or a held-back restart ("Delayed"); the first launch of a run is never
#    held back;
#  - multiple copies -> a kill result for every copy (at least two), then a launch or "Delayed";
#  - app or files locked up -> kill result(s), then a launch (lock-ups are only looked for 180 s
#    after a launch, so the 120 s gate can never hold these back);
#  - no two launches within 120 s, and no restart held back when the last launch is 120 s old;
#  - a check whose listing failed does nothing else (and comes between detections and answers).
#    At the start-up of a run it leaves the next check to be the start-up one.
#
# Launch times: the launch line carries no time of its own, so it is placed at the time of the
# detection line before it plus the 10 s pause that follows each kill command. Log times are whole
# seconds and the pause, the listing and the kill command take a little longer than nominal, so
# the gate is judged with a tolerance of `tolerance` seconds either way. The times are read as UTC
# calendar times: run the watchdog with TZ=UTC, or a change to or from daylight saving time in the
# log shows up as an hour's jump.

BEGIN {
    if (final_casters == "")
        final_casters = -1
    if (tolerance == "")
        tolerance = 2
    violations = 0
    runs = 0
    stopped = 0
}

function violation(message) {
    ++violations
    if (violations <= 25)
        printf "VIOLATION line %d: %s\n    %s\n", NR, message, $0
}

function days_from_civil(y, m, d,    era, yoe, doy, doe) {
    y -= (m <= 2)
    era = int((y >= 0 ? y : y - 399) / 400)
    yoe = y - era * 400
    doy = int((153 * (m + (m > 2 ? -3 : 9)) + 2) / 5) + d - 1
    doe = yoe * 365 + int(yoe / 4) - int(yoe / 100) + doy
    return era * 146097 + doe - 719468
}

# Seconds since the epoch of the first "dd.MM.yyyy HH:mm:ss" in the line; -1 without one.
function stamp(line,    s) {
    if (!match(line, /[0-9][0-9]\.[0-9][0-9]\.[0-9][0-9][0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9]/))
        return -1
    s = substr(line, RSTART, RLENGTH)
    return days_from_civil(substr(s, 7, 4) + 0, substr(s, 4, 2) + 0, substr(s, 1, 2) + 0) * 86400 \
        + substr(s, 12, 2) * 3600 + substr(s, 15, 2) * 60 + substr(s, 18, 2)
}

# The number inside the last "(...)" of the line, group separators removed.
function last_number(line,    s) {
    s = line
    sub(/\)[^)]*$/, "", s)
    sub(/.*\(/, "", s)
    gsub(/[,. ]/, "", s)
    return s + 0
}

# The number in "... restart number N still ..." or "... (for A sec) ...".
function number_after(line, prefix,    s) {
    s = substr(line, index(line, prefix) + length(prefix))
    sub(/[^0-9,.].*$/, "", s)
    gsub(/[,.]/, "", s)
    return s + 0
}

function new_run() {
    if (pending != "")
        violation("a new run begins while a " pending " detection had no answer")
    ++runs
    count = 0
    pending = ""
    have_launch = 0
    stopped = 0
}

# A detection that must be answered before the next one.
function detect(kind, t) {
    if (pending != "" && !(pending == "app lock-up" && kind == "files lock-up" && kills > 0))
        violation("a " pending " detection had no answer before this one")
    if (pending == "")
        kills = 0
    # Only the kills after this line's time delay the launch.
    timed_kills = 0
    pending = kind
    pending_time = t
    ++detections[kind]
}

{ sub(/\r$/, "") }

/^# ZUVA Monitoring Tool \(Rev .*\) started at: / { new_run(); next }
/^# Monitoring service was stopped at: / {
    if (pending != "")
        violation("stopped while a " pending " detection had no answer")
    stopped = 1
    next
}
/^#/ || /^ *$/ { next }

{
    t = stamp($0)
    if (t >= 0) {
        if (have_stamp && t < last_stamp)
            violation("log time goes backwards")
        last_stamp = t
        have_stamp = 1
    }
    if (!runs)
        new_run() # a log cut before its banner: judge it as one run
}

/^Process listing failed at: .* \(returned -?[0-9]+\), check skipped\.$/ {
    if (pending != "")
        violation("a " pending " detection had no answer")
    ++skipped
    next
}

/^At startup, Detected ZUVA running \(/ {
    if (pending != "")
        violation("a " pending " detection had no answer")
    ++detections["running at start-up"]
    next
}

/^At startup, Detected ZUVA not running, restarted at: / {
    detect("not running", t)
    next
}

/^Detected ZUVA not running, \([0-9,.]+\) restarted at: / {
    detect("not running", t)
    n = substr($0, index($0, "(") + 1)
    sub(/\).*/, "", n)
    gsub(/[,.]/, "", n)
    if (n + 0 != count || last_number($0) != count)
        violation("the restart count in the detection is not " count)
    next
}

/^Detected Multiple copies of ZUVA running \(/ {
    detect("multiple copies", t)
    next
}

/^ZUVA app appears LOCKED UP at: / {
    detect("app lock-up", t)
    if (number_after($0, "(for ") <= 360)
        violation("app lock-up declared for a file not older than 360 s")
    if (last_number($0) != count)
        violation("the restart count in the lock-up line is not " count)
    next
}

/^ZUVA files appear LOCKED UP at: / {
    detect("files lock-up", t)
    if (number_after($0, "(for ") <= 120)
        violation("files lock-up declared for a file not older than 120 s")
    if (last_number($0) != count)
        violation("the restart count in the lock-up line is not " count)
    next
}

/^Process Kill\/Restart returned -?[0-9]+$/ {
    code = $NF
    ++kill_codes[code]
    if (pending != "multiple copies" && pending != "app lock-up" && pending != "files lock-up")
        violation("a kill without a detection that calls for one")
    ++kills
    ++timed_kills
    next
}

/^ZUVA application process was restarted\.\.\. \([0-9,.]+\)$/ {
    ++launches
    n = last_number($0)
    if (pending == "")
        violation("a launch that no detection called for")
    else if (pending == "multiple copies" && kills < 2)
        violation("multiple copies answered with " kills " kill(s), not one per copy")
    else if ((pending == "app lock-up" || pending == "files lock-up") && kills < 1)
        violation("a lock-up answered without ending the caster")
    if (n != count + 1)
        violation("restart number " n " does not follow " count)
    at = pending_time + 10 * timed_kills
    if (pending != "" && have_launch) {
        gap = at - last_launch
        if (gap < 120 - tolerance)
            violation("launch " gap " s after the one before")
        if (min_gap_seen == "" || gap < min_gap_seen)
            min_gap_seen = gap
    }
    last_launch = at
    have_launch = 1
    count = n
    pending = ""
    next
}

/^  Delayed, restart number [0-9,.]+ still too recent\.\.\.$/ {
    ++delayed
    n = number_after($0, "restart number ")
    if (pending != "not running" && pending != "multiple copies")
        violation(pending == "" ? "held back with nothing to restart" : "a " pending " restart held back")
    else if (pending == "multiple copies" && kills < 2)
        violation("multiple copies answered with " kills " kill(s), not one per copy")
    if (n != count)
        violation("the held-back restart's number is not " count)
    if (!have_launch)
        violation("the first launch of a run held back")
    else if (pending != "" && pending_time + 10 * timed_kills - last_launch >= 120 + tolerance)
        violation("held back " (pending_time + 10 * timed_kills - last_launch) " s after the last launch")
    pending = ""
    next
}

{ violation("a line the watchdog never writes"); ++unknown }

END {
    if (runs && !stopped)
        violation("the log has no stop block after its last run")
    if (final_casters != -1 && final_casters != 1)
        violation(final_casters " casters running at the end, not one")
    if (violations > 25)
        printf "... and %d more violations\n", violations - 25

    printf "runs of the watchdog:            %d\n", runs
    printf "launches:                        %d\n", launches
    printf "detections, not running:         %d\n", detections["not running"]
    printf "detections, multiple copies:     %d\n", detections["multiple copies"]
    printf "detections, app locked up:       %d\n", detections["app lock-up"]
    printf "detections, files locked up:     %d\n", detections["files lock-up"]
    printf "found running at start-up:       %d\n", detections["running at start-up"]
    printf "restarts held back (Delayed):    %d\n", delayed
    printf "checks skipped, listing failed:  %d\n", skipped
    line = ""
    for (code in kill_codes)
        line = line sprintf("  %s: %d", code, kill_codes[code])
    printf "kill results by code:           %s\n", line == "" ? "  none" : line
    if (min_gap_seen != "")
        printf "shortest gap between launches:   %d s (by the log's times)\n", min_gap_seen
    if (final_casters != -1)
        printf "casters running at the end:      %d\n", final_casters
    printf "rule violations:                 %d\n", violations
    exit violations ? 1 : 0
}
