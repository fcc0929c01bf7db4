# shellcheck shell=bash disable=SC2034 # the variables are for the scripts that source this
# Shared by bench/run.sh and scripts/soak.sh (sourced, not run): building what they need, a private
# process table, and reading a process's costs from /proc.

zb_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
zb_build=${ZUVA_BENCH_BUILD:-$zb_root/build-bench}
zb_bin=$zb_build/bin
zb_shim=$zb_build/bench/libfakestatx.so
zb_clk_tck=$(getconf CLK_TCK)

zb_die() {
    echo "error: $*" >&2
    exit 1
}

# The watchdog and its companions built against Qt 6 beside the Qt 5 build, where Qt 6 is installed
# (Qt 6 starts programs in a way of its own); prints their folder, or fails.
zb_ensure_built_qt6() {
    local dir=$zb_build-qt6
    [ -f "$dir/CMakeCache.txt" ] || cmake -S "$zb_root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DZUVA_QT_MAJOR=6 -DBUILD_TESTING=OFF >/dev/null 2>&1 || { rm -rf "$dir"; return 1; }
    cmake --build "$dir" -j"$(nproc)" --target ZUVAserviceMon tasklist taskkill >"$dir/bench-build.log" 2>&1 \
        && echo "$dir/bin"
}

# libfaketime from the Debian package "faketime", wherever the multiarch layout put it.
zb_find_faketime() {
    local candidate
    for candidate in /usr/lib/*/faketime/libfaketime.so.1 /usr/lib/faketime/libfaketime.so.1 \
        /usr/local/lib/faketime/libfaketime.so.1; do
        [ -r "$candidate" ] && { echo "$candidate"; return 0; }
    done
    return 1
}

# Configures and builds the watchdog, its companions and the stand-in in our own build folder, and
# the statx shim beside them. Quiet unless something fails.
zb_ensure_built() {
    local log=$zb_build/bench-build.log
    mkdir -p "$zb_build/bench"
    if [ ! -f "$zb_build/CMakeCache.txt" ]; then
        cmake -S "$zb_root" -B "$zb_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$log" 2>&1 \
            || { cat "$log" >&2; zb_die "configuring $zb_build failed"; }
    fi
    cmake --build "$zb_build" -j"$(nproc)" --target ZUVAserviceMon tasklist taskkill standin-caster \
        >"$log" 2>&1 || { cat "$log" >&2; zb_die "building in $zb_build failed"; }
    if [ ! -f "$zb_shim" ] || [ "$zb_root/bench/fakestatx.c" -nt "$zb_shim" ]; then
        cc -O2 -Wall -Wextra -shared -fPIC -o "$zb_shim" "$zb_root/bench/fakestatx.c" -ldl >"$log" 2>&1 \
            || { cat "$log" >&2; zb_die "building the statx shim failed"; }
    fi
}

# Runs "$@" (normally the calling script with its arguments) in a private process table when we
# are root, so that the watchdog's listing and ending commands see only our own casters, and
# whatever is left at the end dies with the namespace. A private /dev/shm keeps libfaketime's
# pid-named semaphores apart from those of other namespaces. Returns the command's status.
# Without root, runs "$@" as it is, after a warning.
zb_isolated() {
    if [ "$(id -u)" -eq 0 ] && unshare --pid --fork --mount-proc true 2>/dev/null; then
        # sh stays in front as the namespace's first process, so that orphans are reaped.
        ZUVA_ISOLATED=1 unshare --pid --fork --mount-proc \
            sh -c 'mount -t tmpfs -o size=64m tmpfs /dev/shm 2>/dev/null; "$@"; exit $?' sh "$@"
    else
        echo "warning: not root, so no private process table: the watchdog sees (and may end) every" \
            "brindleCast process on this machine, and other casters skew the results" >&2
        ZUVA_ISOLATED=0 "$@"
    fi
}

zb_now_ms() {
    local t=${EPOCHREALTIME/[.,]/}
    echo $((t / 1000))
}

# Sleeps until the given zb_now_ms value.
zb_sleep_until() {
    local left=$(($1 - $(zb_now_ms)))
    ((left > 0)) && sleep "$(printf '%d.%03d' $((left / 1000)) $((left % 1000)))"
    return 0
}

# Makes a cpuacct cgroup (cgroup v1) for the bench and prints its path; fails without root or
# without that controller. Its cpuacct.usage counts the CPU, in ns, of every process that was ever
# in it, including those that have ended.
zb_cgroup_make() { # <name>
    local dir=/sys/fs/cgroup/cpuacct/$1
    [ "$(id -u)" -eq 0 ] && mkdir -p "$dir" 2>/dev/null && [ -f "$dir/cpuacct.usage" ] && echo "$dir"
}

# Moves the calling (sub)shell into the cgroup <dir>; with an empty <dir>, does nothing.
zb_cgroup_join() { # <dir>
    [ -z "$1" ] || echo "$BASHPID" >"$1/cgroup.procs"
}

# "utime stime cutime cstime" in clock ticks, from /proc/<pid>/stat. The fields are counted after
# the last ')': the process name may hold blanks.
zb_cpu_ticks() {
    local line
    line=$(<"/proc/$1/stat") || return 1
    line=${line##*) }
    # shellcheck disable=SC2086
    set -- $line
    echo "${12} ${13} ${14} ${15}"
}

# On-CPU time of all the process's threads in ns, from the scheduler's own accounting; far finer
# than the clock ticks of /proc/<pid>/stat.
zb_runtime_ns() {
    local sum=0 f value
    for f in /proc/"$1"/task/*/schedstat; do
        read -r value _ <"$f" 2>/dev/null || continue
        sum=$((sum + value))
    done
    echo "$sum"
}

# A field of /proc/<pid>/status in kB (VmRSS, VmHWM), or a plain count (Threads).
zb_status() {
    local key value _
    while read -r key value _; do
        [ "$key" = "$2:" ] && { echo "$value"; return 0; }
    done <"/proc/$1/status"
    return 1
}

zb_fd_count() {
    local fds=(/proc/"$1"/fd/*)
    echo "${#fds[@]}"
}

# "<children> <zombies>": processes whose parent is the given one, and how many of them are dead
# but not reaped.
zb_children() {
    local parent=$1 stat rest children=0 zombies=0
    for stat in /proc/[0-9]*/stat; do
        { rest=$(<"$stat"); } 2>/dev/null || continue
        rest=${rest##*) }
        # shellcheck disable=SC2086
        set -- $rest
        if [ "$2" = "$parent" ]; then
            children=$((children + 1))
            [ "$1" = Z ] && zombies=$((zombies + 1))
        fi
    done
    echo "$children $zombies"
}
