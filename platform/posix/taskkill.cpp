// taskkill: ends processes by image name, in the manner of the Windows command of the same name:
//
//     taskkill /IM <image> [/T] [/F]
//
// Every process whose image name (as tasklist prints it) equals <image> without regard to case is
// ended with SIGKILL; with /T its descendants too. /F is accepted for the sake of the familiar
// command line: ending is always forced, since a stuck caster is the reason we are called at all.
//
// Exit status: 0 when processes were ended, 128 when none matched, 1 on a usage error or when
// a process could not be ended (the caller must not assume it is gone then).

#include "imagename.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/types.h>
#include <unistd.h>

namespace {

const char usage[] = "Usage: taskkill /IM <image name> [/T] [/F]\r\n"
                     "  /IM  image name of the processes to end (without regard to case)\r\n"
                     "  /T   end their child processes too, and theirs\r\n"
                     "  /F   end them forcibly (always done)\r\n";

int usageError(const char *what, const char *arg)
{
    if (arg)
        std::fprintf(stderr, "ERROR: %s - '%s'.\r\n%s", what, arg, usage);
    else
        std::fprintf(stderr, "ERROR: %s.\r\n%s", what, usage);
    return 1;
}

bool isSwitch(const char *arg, const char *name)
{
    return (arg[0] == '/' || arg[0] == '-') && imagename::sameNameIgnoringCase(arg + 1, name);
}

[[noreturn]] void outOfMemory()
{
    std::fputs("ERROR: Out of memory.\r\n", stderr);
    std::exit(1);
}

// A growable array of plain values (pids or pid pairs); there are a few hundred at most. Its memory
// goes with the process: without a destructor nothing needs the C++ runtime's unwinding support.
template <typename T> struct List
{
    T *data = nullptr;
    std::size_t size = 0;
    std::size_t capacity = 0;

    void append(const T &value)
    {
        if (size == capacity) {
            capacity = capacity ? capacity * 2 : 256;
            void *grown = std::realloc(data, capacity * sizeof(T));
            if (!grown)
                outOfMemory();
            data = static_cast<T *>(grown);
        }
        data[size++] = value;
    }
    const T *begin() const { return data; }
    const T *end() const { return data + size; }
};

struct Process
{
    int pid;
    int ppid;
};

void scanParents(imagename::ProcDir &proc, List<Process> &processes)
{
    processes.size = 0;
    proc.forEachPid([&](int pid) {
        int ppid = 0;
        if (imagename::parentPid(proc.fd(), pid, ppid))
            processes.append({pid, ppid});
    });
}

int parentOf(const List<Process> &processes, int pid)
{
    for (const Process &p : processes)
        if (p.pid == pid)
            return p.ppid;
    return 0;
}

bool contains(const List<int> &pids, int pid)
{
    for (int p : pids)
        if (p == pid)
            return true;
    return false;
}

// Never ourselves, never whoever called us (it waits for our answer), never init.
int selfPid = 0;
int callerPid = 0;

bool isSpared(int pid)
{
    return pid == 1 || pid == selfPid || pid == callerPid;
}

// Adds the descendants of the victims; newly found ones are frozen at once when asked. A spared
// process is neither added nor walked through: behind init or our own caller lies far more than
// the tree that was asked for.
void addDescendants(List<int> &victims, const List<Process> &processes, bool freezeNew)
{
    for (std::size_t i = 0; i < victims.size; ++i) {
        const int parent = victims.data[i];
        for (const Process &p : processes) {
            if (p.ppid != parent || isSpared(p.pid) || contains(victims, p.pid))
                continue;
            victims.append(p.pid);
            if (freezeNew)
                kill(p.pid, SIGSTOP);
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    const char *image = nullptr;
    bool tree = false;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (isSwitch(arg, "im")) {
            if (image)
                return usageError("Only one /IM image name may be given", nullptr);
            if (i + 1 >= argc)
                return usageError("Missing image name after", arg);
            image = argv[++i];
        } else if (isSwitch(arg, "t")) {
            tree = true;
        } else if (isSwitch(arg, "f")) {
            // Always forced; see above.
        } else {
            return usageError("Invalid argument/option", arg);
        }
    }
    if (!image)
        return usageError("The /IM image name is required", nullptr);

    imagename::ProcDir proc;
    if (!proc.isOpen()) {
        std::fputs("ERROR: /proc cannot be read.\r\n", stderr);
        return 1;
    }

    // The name is compared as tasklist prints it, so a name read from the listing always fits.
    char wanted[imagename::nameSize];
    imagename::copyName(wanted, image);
    imagename::makeFieldSafe(wanted);

    selfPid = static_cast<int>(getpid());
    callerPid = static_cast<int>(getppid());
    List<Process> processes;
    scanParents(proc, processes);
    List<int> victims;
    char name[imagename::nameSize];
    for (const Process &p : processes) {
        if (!isSpared(p.pid) && imagename::imageName(proc.fd(), p.pid, name)
            && imagename::sameNameIgnoringCase(name, wanted))
            victims.append(p.pid);
    }
    if (victims.size == 0) {
        std::fprintf(stderr, "ERROR: The process \"%s\" not found.\r\n", image);
        return 128;
    }

    if (tree) {
        // Freeze the whole tree before ending any of it: a child whose parent dies first is
        // re-parented and would drop out of the tree. A frozen process cannot fork, so a single
        // rescan catches the children born between the first scan and the freeze.
        addDescendants(victims, processes, false);
        for (int pid : victims)
            kill(pid, SIGSTOP);
        scanParents(proc, processes);
        addDescendants(victims, processes, true);
    }

    int ended = 0;
    bool failed = false;
    // Deepest first, the way the Windows command reports a tree.
    for (std::size_t i = victims.size; i-- > 0;) {
        const int pid = victims.data[i];
        const int ppid = parentOf(processes, pid);
        if (kill(pid, SIGKILL) == 0) {
            ++ended;
            std::printf("SUCCESS: The process with PID %d (child process of PID %d) has been terminated.\r\n",
                        pid, ppid);
        } else if (errno != ESRCH) { // one that ended by itself meanwhile is no failure
            failed = true;
            std::fprintf(
                stderr,
                "ERROR: The process with PID %d (child process of PID %d) could not be terminated.\r\n"
                "Reason: %s.\r\n",
                pid, ppid, std::strerror(errno));
        }
    }
    if (std::fflush(stdout) != 0)
        failed = true;

    if (failed)
        return 1;
    if (ended == 0) {
        std::fprintf(stderr, "ERROR: The process \"%s\" not found.\r\n", image);
        return 128;
    }
    return 0;
}
