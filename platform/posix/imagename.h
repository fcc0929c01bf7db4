#ifndef ZUVA_IMAGENAME_H
#define ZUVA_IMAGENAME_H

// What the companion commands "tasklist" and "taskkill" call a process: its image name, the file
// name of the program the kernel runs (or of the script it runs), read straight from /proc, and
// made safe to print. Both commands must agree on it to the byte, so it lives here and nowhere else.
//
// Plain C on libc and POSIX: the commands run every few seconds for months, and are linked
// statically so that a run costs little more than the kernel's work.
//
// Include this before any system header: it asks for the POSIX interfaces it uses.

#define _POSIX_C_SOURCE 200809L // NOLINT(bugprone-reserved-identifier): the standard way to ask

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

// A file name has at most 255 bytes; anything longer is cut there.
#define NAME_SIZE 256

// The kernel keeps only this many characters of a program name in comm.
#define TRUNCATED_COMM_LENGTH 15

// Reads a /proc file (relative to the /proc descriptor) into buf, at most cap bytes. Small files
// come whole in one read; `whole` keeps reading up to cap. Returns the byte count, or -1 when
// the file is gone or unreadable.
static inline long readProcFile(int procFd, const char *path, char *buf, size_t cap, bool whole)
{
    int fd = openat(procFd, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    size_t got = 0;
    while (got < cap) {
        ssize_t n = read(fd, buf + got, cap - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            close(fd);
            return -1;
        }
        got += (size_t)n;
        if (n == 0 || !whole)
            break;
    }
    close(fd);
    return (long)got;
}

static inline const char *baseName(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// Copies a name into a NAME_SIZE buffer, cut to fit.
static inline void copyName(char *name, const char *from)
{
    const size_t len = strnlen(from, NAME_SIZE - 1);
    memcpy(name, from, len);
    name[len] = '\0';
}

// The image name of pid into name (NAME_SIZE bytes), before it is made safe.
// False when the process has vanished or has ended and only waits to be reaped: a dead process is
// no longer running, and listing it would count a caster that is gone.
static inline bool rawImageName(int procFd, int pid, char *name)
{
    char path[48];

    // stat rather than comm: one read gives both the (cut) name and whether the process is alive.
    // The name sits between the first '(' and the last ')', and may itself hold either.
    snprintf(path, sizeof path, "%d/stat", pid);
    char stat[1024];
    long n = readProcFile(procFd, path, stat, sizeof stat - 1, false);
    if (n <= 0)
        return false;
    stat[n] = '\0';
    const char *open = strchr(stat, '(');
    const char *close = strrchr(stat, ')');
    if (!open || !close || close < open || close[1] != ' ' || close[2] == 'Z' || close[2] == 'X')
        return false;
    char comm[NAME_SIZE];
    n = close - open - 1;
    if (n >= (long)sizeof comm)
        n = sizeof comm - 1;
    memcpy(comm, open + 1, (size_t)n);
    comm[n] = '\0';
    const size_t commLength = (size_t)n;
    const bool truncated = commLength == TRUNCATED_COMM_LENGTH;

    // Kernel threads and other users' processes have no readable exe; comm is all there is then.
    char target[4096];
    snprintf(path, sizeof path, "%d/exe", pid);
    ssize_t len = readlinkat(procFd, path, target, sizeof target - 1);
    if (len > 0) {
        target[len] = '\0';
        static const char deleted[] = " (deleted)";
        const size_t dl = sizeof deleted - 1;
        if ((size_t)len > dl && strcmp(target + len - dl, deleted) == 0)
            target[len - dl] = '\0';
        const char *exe = baseName(target);
        if (*exe != '\0' && (strcmp(exe, comm) == 0 || (truncated && strncmp(exe, comm, commLength) == 0))) {
            copyName(name, exe);
            return true;
        }
    }

    // A script runs under its interpreter's exe while comm holds the (cut) script name; the full name
    // is one of interpreter, interpreter argument, script path. Later arguments are the script's
    // own and never name the process.
    if (truncated) {
        char cmdline[3 * 4096 + 4];
        snprintf(path, sizeof path, "%d/cmdline", pid);
        n = readProcFile(procFd, path, cmdline, sizeof cmdline - 1, true);
        if (n > 0) {
            cmdline[n] = '\0';
            const char *arg = cmdline;
            const char *end = cmdline + n;
            for (int i = 0; i < 3 && arg < end; ++i) {
                const char *base = baseName(arg);
                if (strncmp(base, comm, commLength) == 0) {
                    copyName(name, base);
                    return true;
                }
                arg += strlen(arg) + 1;
            }
        }
    }

    copyName(name, comm);
    return true;
}

// The length of the well-formed UTF-8 sequence that starts at s (RFC 3629: no overlong forms, no
// surrogates, nothing above U+10FFFF), or 0 when none does. s ends with a NUL, which no
// continuation byte matches, so nothing is read past it.
static inline size_t utf8SequenceLength(const unsigned char *s)
{
    unsigned char low = 0x80, high = 0xbf;
    size_t length;
    if (s[0] < 0x80)
        return 1;
    if (s[0] >= 0xc2 && s[0] <= 0xdf) {
        length = 2;
    } else if (s[0] >= 0xe0 && s[0] <= 0xef) {
        length = 3;
        if (s[0] == 0xe0)
            low = 0xa0;
        else if (s[0] == 0xed)
            high = 0x9f;
    } else if (s[0] >= 0xf0 && s[0] <= 0xf4) {
        length = 4;
        if (s[0] == 0xf0)
            low = 0x90;
        else if (s[0] == 0xf4)
            high = 0x8f;
    } else {
        return 0;
    }
    if (s[1] < low || s[1] > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if (s[i] < 0x80 || s[i] > 0xbf)
            return 0;
    return length;
}

// Readers of the listing split lines at blanks and decode them as UTF-8, and hand the name back to
// taskkill. So that it comes back unchanged, a blank, a control character or a byte that is not
// part of well-formed UTF-8 becomes '_', and an empty name (possible after prctl) becomes "_".
static inline void makeFieldSafe(char *name)
{
    if (*name == '\0') {
        name[0] = '_';
        name[1] = '\0';
    }
    unsigned char *c = (unsigned char *)name;
    while (*c) {
        const size_t length = utf8SequenceLength(c);
        if (length == 0 || *c <= ' ' || *c == 0x7f)
            *c++ = '_';
        else
            c += length;
    }
}

// The name as tasklist prints it and taskkill compares it, into name (NAME_SIZE bytes).
static inline bool imageName(int procFd, int pid, char *name)
{
    if (!rawImageName(procFd, pid, name))
        return false;
    makeFieldSafe(name);
    return true;
}

// ASCII-only case folding: the result must not depend on the locale the command happens to get.
static inline bool sameNameIgnoringCase(const char *a, const char *b)
{
    for (;; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'A' && x <= 'Z')
            x = (char)(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = (char)(y - 'A' + 'a');
        if (x != y)
            return false;
        if (x == '\0')
            return true;
    }
}

// The parent pid from /proc/<pid>/stat. comm sits in parentheses there and may itself hold blanks
// and ')', so the fields are found after the last ')'. False when the process has vanished.
static inline bool parentPid(int procFd, int pid, int *ppid)
{
    char path[48];
    char buf[1024];
    snprintf(path, sizeof path, "%d/stat", pid);
    long n = readProcFile(procFd, path, buf, sizeof buf - 1, false);
    if (n <= 0)
        return false;
    buf[n] = '\0';
    const char *close = strrchr(buf, ')');
    // ") S 1234 ...": state, then the parent pid.
    if (!close || close[1] != ' ' || close[2] == '\0' || close[3] != ' ')
        return false;
    char *end = NULL;
    long value = strtol(close + 4, &end, 10);
    if (end == close + 4)
        return false;
    *ppid = (int)value;
    return true;
}

// The next running process (thread group leader) in an open /proc, in the kernel's (ascending)
// order, or 0 at the end. rewinddir starts afresh.
static inline int nextPid(DIR *proc)
{
    const struct dirent *e;
    while ((e = readdir(proc)) != NULL) {
        const char *s = e->d_name;
        if (*s < '1' || *s > '9')
            continue;
        long pid = 0;
        for (; *s >= '0' && *s <= '9' && pid <= 0x7fffffffL; ++s)
            pid = pid * 10 + (*s - '0');
        if (*s == '\0' && pid <= 0x7fffffffL)
            return (int)pid;
    }
    return 0;
}

#endif
