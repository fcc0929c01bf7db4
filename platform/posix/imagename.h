#pragma once

// What the companion commands "tasklist" and "taskkill" call a process: its image name, the file
// name of the program the kernel runs (or of the script it runs), read straight from /proc.
// Both commands must agree on it to the byte, so it lives here and nowhere else.
//
// Only the C part of the standard library is used: the commands run every few seconds, and
// loading the C++ runtime library would cost more than all the work they do.

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace imagename {

// A file name has at most 255 bytes; anything longer is cut there.
constexpr std::size_t nameSize = 256;

// The kernel keeps only this many characters of a program name in comm.
constexpr std::size_t truncatedCommLength = 15;

// Reads a /proc file (relative to the /proc descriptor) into buf, at most cap bytes. Small files
// come whole in one read; `whole` keeps reading up to cap. Returns the byte count, or -1 when
// the file is gone or unreadable.
inline long readProcFile(int procFd, const char *path, char *buf, std::size_t cap, bool whole = false)
{
    int fd = openat(procFd, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    std::size_t got = 0;
    while (got < cap) {
        ssize_t n = read(fd, buf + got, cap - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            close(fd);
            return -1;
        }
        got += static_cast<std::size_t>(n);
        if (n == 0 || !whole)
            break;
    }
    close(fd);
    return static_cast<long>(got);
}

inline const char *baseName(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// Copies a name into a nameSize buffer, cut to fit.
inline void copyName(char *name, const char *from)
{
    const std::size_t len = strnlen(from, nameSize - 1);
    std::memcpy(name, from, len);
    name[len] = '\0';
}

// The image name of pid into name (nameSize bytes), before it is made printable.
// False when the process has vanished or has ended and only waits to be reaped: a dead process is
// no longer running, and listing it would count a caster that is gone.
inline bool rawImageName(int procFd, int pid, char *name)
{
    char path[48];

    // stat rather than comm: one read gives both the (cut) name and whether the process is alive.
    // The name sits between the first '(' and the last ')', and may itself hold either.
    std::snprintf(path, sizeof path, "%d/stat", pid);
    char stat[1024];
    long n = readProcFile(procFd, path, stat, sizeof stat - 1);
    if (n <= 0)
        return false;
    stat[n] = '\0';
    const char *open = std::strchr(stat, '(');
    const char *close = std::strrchr(stat, ')');
    if (!open || !close || close < open || close[1] != ' ' || close[2] == 'Z' || close[2] == 'X')
        return false;
    char comm[nameSize];
    n = close - open - 1;
    if (n >= static_cast<long>(sizeof comm))
        n = sizeof comm - 1;
    std::memcpy(comm, open + 1, static_cast<std::size_t>(n));
    comm[n] = '\0';
    const std::size_t commLength = static_cast<std::size_t>(n);
    const bool truncated = commLength == truncatedCommLength;

    // Kernel threads and other users' processes have no readable exe; comm is all there is then.
    char target[4096];
    std::snprintf(path, sizeof path, "%d/exe", pid);
    ssize_t len = readlinkat(procFd, path, target, sizeof target - 1);
    if (len > 0) {
        target[len] = '\0';
        static const char deleted[] = " (deleted)";
        const std::size_t dl = sizeof deleted - 1;
        if (static_cast<std::size_t>(len) > dl && std::strcmp(target + len - dl, deleted) == 0)
            target[len - dl] = '\0';
        const char *exe = baseName(target);
        if (*exe != '\0'
            && (std::strcmp(exe, comm) == 0 || (truncated && std::strncmp(exe, comm, commLength) == 0))) {
            copyName(name, exe);
            return true;
        }
    }

    // A script runs under its interpreter's exe while comm holds the (cut) script name; the full name
    // is one of interpreter, interpreter argument, script path. Later arguments are the script's
    // own and never name the process.
    if (truncated) {
        char cmdline[3 * 4096 + 4];
        std::snprintf(path, sizeof path, "%d/cmdline", pid);
        n = readProcFile(procFd, path, cmdline, sizeof cmdline - 1, true);
        if (n > 0) {
            cmdline[n] = '\0';
            const char *arg = cmdline;
            const char *end = cmdline + n;
            for (int i = 0; i < 3 && arg < end; ++i) {
                const char *base = baseName(arg);
                if (std::strncmp(base, comm, commLength) == 0) {
                    copyName(name, base);
                    return true;
                }
                arg += std::strlen(arg) + 1;
            }
        }
    }

    copyName(name, comm);
    return true;
}

// Readers of the listing split lines at blanks, so a blank or control character inside a name
// becomes '_' and the first field of a line is always the whole name. An empty name (possible
// after prctl) becomes "_" for the same reason.
inline void makeFieldSafe(char *name)
{
    if (*name == '\0') {
        name[0] = '_';
        name[1] = '\0';
    }
    for (char *c = name; *c; ++c) {
        const unsigned char u = static_cast<unsigned char>(*c);
        if (u <= ' ' || u == 0x7f)
            *c = '_';
    }
}

// The name as tasklist prints it and taskkill compares it, into name (nameSize bytes).
inline bool imageName(int procFd, int pid, char *name)
{
    if (!rawImageName(procFd, pid, name))
        return false;
    makeFieldSafe(name);
    return true;
}

// ASCII-only case folding: the result must not depend on the locale the command happens to get.
inline bool sameNameIgnoringCase(const char *a, const char *b)
{
    for (;; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
        if (x == '\0')
            return true;
    }
}

// The parent pid from /proc/<pid>/stat. comm sits in parentheses there and may itself hold blanks
// and ')', so the fields are found after the last ')'. False when the process has vanished.
inline bool parentPid(int procFd, int pid, int &ppid)
{
    char path[48];
    char buf[1024];
    std::snprintf(path, sizeof path, "%d/stat", pid);
    long n = readProcFile(procFd, path, buf, sizeof buf - 1);
    if (n <= 0)
        return false;
    buf[n] = '\0';
    const char *close = std::strrchr(buf, ')');
    // ") S 1234 ...": state, then the parent pid.
    if (!close || close[1] != ' ' || close[2] == '\0' || close[3] != ' ')
        return false;
    char *end = nullptr;
    long value = std::strtol(close + 4, &end, 10);
    if (end == close + 4)
        return false;
    ppid = static_cast<int>(value);
    return true;
}

// An open /proc whose numeric entries are the running processes (thread group leaders only).
// It stays open until the command exits: no destructor, so that nothing here needs the C++ runtime
// library's unwinding support (see the top of this file).
class ProcDir
{
public:
    ProcDir()
        : dir_(opendir("/proc"))
    {
    }

    bool isOpen() const { return dir_ != nullptr; }
    int fd() const { return dirfd(dir_); }

    // Calls f(pid) for each process, in the kernel's (ascending) order. Every call starts afresh.
    template <typename F> void forEachPid(F &&f)
    {
        rewinddir(dir_);
        while (const dirent *e = readdir(dir_)) {
            const char *s = e->d_name;
            if (*s < '1' || *s > '9')
                continue;
            long pid = 0;
            for (; *s >= '0' && *s <= '9' && pid <= 0x7fffffffL; ++s)
                pid = pid * 10 + (*s - '0');
            if (*s == '\0' && pid <= 0x7fffffffL)
                f(static_cast<int>(pid));
        }
    }

private:
    DIR *dir_;
};

} // namespace imagename
