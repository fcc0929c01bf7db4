#!/bin/sh
# Runs a command (a test, the demo's watchdog) in a process table of its own. The listing and the
# process-ending command see every process of the table they run in: on the machine's own they would
# count, and end, whatever runs there as brindleCast.exe, a real caster included. This shell is the
# first process of the new table: it reaps what is orphaned there, and whatever the command leaves
# behind ends with it. Where no table of its own can be had, nothing is run (exit 77: skipped).
for user in "" "--user --map-root-user"; do
    # shellcheck disable=SC2086 # $user is zero or two words
    if unshare $user --pid --fork --mount-proc true 2>/dev/null; then
        exec unshare $user --pid --fork --mount-proc sh -c '"$@"; exit $?' sh "$@"
    fi
done
echo "SKIP: ${1##*/} starts, lists or ends casters, and no process table of its own can be had" \
    "here (it needs root, or unprivileged user namespaces, for unshare --pid)." >&2
exit 77
