#pragma once

// What the companion commands "tasklist" and "taskkill" call a process: its image name, the file
// name of the program the kernel runs (or of the script it runs), read straight from /proc.
// Both commands must agree on it to the byte, so it lives here and nowhere else.

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace imagename {

// Reads at most cap bytes of a small /proc file (relative to the /proc descriptor).
// Returns the byte count, or -1 when the file is gone or unreadable.
inline long readProcFile(int procFd, const char *path, char *buf, std::size_t cap)
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
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    close(fd);
    return static_cast<long>(got);
}

inline const char *baseName(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

inline bool startsWith(const std::string &s, const std::string &prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

// The kernel keeps only this many characters of a program name in comm.
constexpr std::size_t truncatedCommLength = 15;

// The image name of pid, before it is made printable. False when the process has vanished.
inline bool rawImageName(int procFd, int pid, std::string &name)
{
    char path[48];
    char buf[256];

    std::snprintf(path, sizeof path, "%d/comm", pid);
    long n = readProcFile(procFd, path, buf, sizeof buf - 1);
    if (n < 0)
        return false;
    if (n > 0 && buf[n - 1] == '\n')
        --n;
    const std::string comm(buf, static_cast<std::size_t>(n));

    // Kernel threads and other users' processes have no readable exe; comm is all there is then.
    std::string exe;
    char target[4096];
    std::snprintf(path, sizeof path, "%d/exe", pid);
    ssize_t len = readlinkat(procFd, path, target, sizeof target - 1);
    if (len > 0) {
        target[len] = '\0';
        exe = baseName(target);
        static const char deleted[] = " (deleted)";
        const std::size_t dl = sizeof deleted - 1;
        if (exe.size() > dl && exe.compare(exe.size() - dl, dl, deleted) == 0)
            exe.resize(exe.size() - dl);
    }

    const bool truncated = comm.size() == truncatedCommLength;
    if (!exe.empty() && (exe == comm || (truncated && startsWith(exe, comm)))) {
        name = exe;
        return true;
    }

    // A script runs under its interpreter's exe while comm holds the (cut) script name; the full name
    // is one of interpreter, interpreter argument, script path. Later arguments are the script's
    // own and never name the process.
    if (truncated) {
        char cmdline[3 * 4096 + 4];
        std::snprintf(path, sizeof path, "%d/cmdline", pid);
        n = readProcFile(procFd, path, cmdline, sizeof cmdline - 1);
        if (n > 0) {
            cmdline[n] = '\0';
            const char *arg = cmdline;
            const char *end = cmdline + n;
            for (int i = 0; i < 3 && arg < end; ++i) {
                const char *base = baseName(arg);
                if (std::strncmp(base, comm.c_str(), comm.size()) == 0) {
                    name = base;
                    return true;
                }
                arg += std::strlen(arg) + 1;
            }
        }
    }

    name = comm;
    return true;
}

// Readers of the listing split lines at blanks, so a blank or control character inside a name
// becomes '_' and the first field of a line is always the whole name. An empty name (possible
// after prctl) becomes "_" for the same reason.
inline void makeFieldSafe(std::string &name)
{
    for (char &c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u <= ' ' || u == 0x7f)
            c = '_';
    }
    if (name.empty())
        name = "_";
}

// The name as tasklist prints it and taskkill compares it.
inline bool imageName(int procFd, int pid, std::string &name)
{
    if (!rawImageName(procFd, pid, name))
        return false;
    makeFieldSafe(name);
    return true;
}

// ASCII-only case folding: the result must not depend on the locale the command happens to get.
inline bool sameNameIgnoringCase(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
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
class ProcDir
{
public:
    ProcDir()
        : dir_(opendir("/proc"))
    {
    }
    ~ProcDir()
    {
        if (dir_)
            closedir(dir_);
    }
    ProcDir(const ProcDir &) = delete;
    ProcDir &operator=(const ProcDir &) = delete;

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
