#!/usr/bin/env bash
# Installs the Debian packages named on the command line that are not installed yet. Where another
# process holds the package manager (an install of its own, or the unattended upgrades a new machine
# runs in its first minutes), it waits for it, up to ZUVA_APT_WAIT seconds (300 unless set).
set -euo pipefail

missing=()
for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
((${#missing[@]})) || exit 0

if ! command -v apt-get >/dev/null; then
    echo "Please install: ${missing[*]} (no apt-get on this machine)" >&2
    exit 1
fi
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

wait_s=${ZUVA_APT_WAIT:-300}
[[ $wait_s =~ ^[0-9]+$ ]] || { echo "ZUVA_APT_WAIT is a number of seconds, not \"$wait_s\"" >&2; exit 2; }
deadline=$((SECONDS + wait_s))
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT

# apt-get, waiting for the package manager's locks until the deadline. apt waits for dpkg's locks
# itself (DPkg::Lock::Timeout), but not for the lock on its package lists, which "apt-get update"
# takes: that run is made again every second. The first run waits for nothing, so that a wait is
# announced before it begins. A run that fails for any other reason is not made again. apt speaks
# English here, so that its word for a busy lock can be told from the others.
holder= # what the wait is for, once there is one
apt_get() {
    local status timeout
    while :; do
        timeout=0
        [ -z "$holder" ] || timeout=$((deadline > SECONDS ? deadline - SECONDS : 0))
        status=0
        "${sudo[@]}" env LC_ALL=C.UTF-8 DEBIAN_FRONTEND=noninteractive apt-get \
            -o DPkg::Lock::Timeout="$timeout" "$@" 2>"$errors" || status=$?
        if ((!status)); then
            cat "$errors" >&2
            return 0
        fi
        if ! grep -qE "Could not get lock|Unable to acquire the dpkg frontend lock" "$errors"; then
            cat "$errors" >&2
            return $status
        fi
        if [ -z "$holder" ]; then
            # apt's first error names the lock and the process that holds it (not once apt has waited).
            holder=$(sed -n -E 's/^E: //p' "$errors" | head -n 1)
            ((SECONDS >= deadline)) \
                || echo "Waiting up to $wait_s s for the package manager, which another process holds: $holder" >&2
        fi
        if ((SECONDS >= deadline)); then
            echo "The package manager is still busy after $wait_s s ($holder). Not installed: ${missing[*]}." \
                "Run this again once it is done, or wait longer with ZUVA_APT_WAIT=<seconds>." >&2
            return 1
        fi
        sleep 1
    done
}

echo "Installing: ${missing[*]}"
apt_get update -qq
apt_get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
