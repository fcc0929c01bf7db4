// taskkill: ends processes by image name, in the manner of the Windows command of the same name:
//
//     taskkill /IM <image> [/T] [/F]
//
// Every process whose image name (as tasklist prints it) equals <image> without regard to case is
// ended with SIGKILL; with /T its descendants too. /F is accepted for the sake of the familiar
// command line: ending is always forced, since a stuck caster is the reason we are called at all.
//
// Exit status: 0 when processes were ended, 128 when none matched, 1 on a usage error or when
// a process could not be ended (the caller must not assume it is gone then). The status tells what
// became of the processes; whether the report of it could be printed does not change it.

#include "imagename.h"

#include <signal.h>
#include <sys/types.h>

static const char usage[] = "Usage: taskkill /IM <image name> [/T] [/F]\r\n"
                            "  /IM  image name of the processes to end (without regard to case)\r\n"
                            "  /T   end their child processes too, and theirs\r\n"
                            "  /F   end them forcibly (always done)\r\n";

static int usageError(const char *what, const char *arg)
{
    if (arg)
        fprintf(stderr, "ERROR: %s - '%s'.\r\n%s", what, arg, usage);
    else
        fprintf(stderr, "ERROR: %s.\r\n%s", what, usage);
    return 1;
}

static bool isSwitch(const char *arg, const char *name)
{
    return (arg[0] == '/' || arg[0] == '-') && sameNameIgnoringCase(arg + 1, name);
}

struct Process
{
    int pid;
    int ppid;
};

// A process to end, and what kill() made of it: 0 ended, ESRCH gone by itself, else the failure.
struct Victim
{
    int pid;
    int error;
};

// Growable arrays, at most as long as the process table. Their memory goes with the process.
static struct Process *processes;
static size_t processCount, processCapacity;
static struct Victim *victims;
static size_t victimCount, victimCapacity;

// Set when an entry could not be stored. What could not be stored is neither stopped nor ended,
// and the caller learns that not all may be gone.
static bool outOfMemory;

// data with room for one more entry after count, or NULL (data kept as it is) when memory runs out.
static void *grow(void *data, size_t *capacity, size_t count, size_t size)
{
    if (count < *capacity)
        return data;
    const size_t grownCapacity = *capacity ? *capacity * 2 : 256;
    void *grown = realloc(data, grownCapacity * size);
    if (!grown) {
        outOfMemory = true;
        return NULL;
    }
    *capacity = grownCapacity;
    return grown;
}

static void addProcess(int pid, int ppid)
{
    struct Process *grown = grow(processes, &processCapacity, processCount, sizeof *processes);
    if (grown) {
        processes = grown;
        processes[processCount++] = (struct Process){pid, ppid};
    }
}

static void scanParents(DIR *proc)
{
    processCount = 0;
    rewinddir(proc);
    int pid, ppid;
    while ((pid = nextPid(proc)) != 0) {
        if (parentPid(dirfd(proc), pid, &ppid))
            addProcess(pid, ppid);
    }
}

static int parentOf(int pid)
{
    for (size_t i = 0; i < processCount; ++i)
        if (processes[i].pid == pid)
            return processes[i].ppid;
    return 0;
}

static bool isVictim(int pid)
{
    for (size_t i = 0; i < victimCount; ++i)
        if (victims[i].pid == pid)
            return true;
    return false;
}

static bool addVictim(int pid)
{
    struct Victim *grown = grow(victims, &victimCapacity, victimCount, sizeof *victims);
    if (!grown)
        return false;
    victims = grown;
    victims[victimCount++] = (struct Victim){pid, 0};
    return true;
}

// Never ourselves, never whoever called us (it waits for our answer), never init.
static int selfPid, callerPid;

static bool isSpared(int pid)
{
    return pid == 1 || pid == selfPid || pid == callerPid;
}

// Adds the descendants of the victims from the last scan, stopping newly found ones at once when
// asked; returns how many were added. A spared process is neither added nor walked through: behind
// init or our own caller lies far more than the tree that was asked for.
static size_t addDescendants(bool stopNew)
{
    const size_t before = victimCount;
    for (size_t i = 0; i < victimCount; ++i) {
        const int parent = victims[i].pid;
        for (size_t j = 0; j < processCount; ++j) {
            const int pid = processes[j].pid;
            if (processes[j].ppid != parent || isSpared(pid) || isVictim(pid) || !addVictim(pid))
                continue;
            if (stopNew)
                kill(pid, SIGSTOP);
        }
    }
    return victimCount - before;
}

int main(int argc, char **argv)
{
    // The report comes after the work; a reader that went away must not cut the work short.
    signal(SIGPIPE, SIG_IGN);

    const char *image = NULL;
    bool tree = false;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (isSwitch(arg, "im")) {
            if (image)
                return usageError("Only one /IM image name may be given", NULL);
            if (i + 1 >= argc)
                return usageError("Missing image name after", arg);
            image = argv[++i];
            if (*image == '\0')
                return usageError("The /IM image name must not be empty", NULL);
        } else if (isSwitch(arg, "t")) {
            tree = true;
        } else if (isSwitch(arg, "f")) {
            // Always forced; see above.
        } else {
            return usageError("Invalid argument/option", arg);
        }
    }
    if (!image)
        return usageError("The /IM image name is required", NULL);

    DIR *proc = opendir("/proc");
    if (!proc) {
        fputs("ERROR: /proc cannot be read.\r\n", stderr);
        return 1;
    }

    // The name is compared as tasklist prints it, so a name read from the listing always fits.
    char wanted[NAME_SIZE];
    copyName(wanted, image);
    makeFieldSafe(wanted);

    selfPid = (int)getpid();
    callerPid = (int)getppid();
    scanParents(proc);
    char name[NAME_SIZE];
    for (size_t i = 0; i < processCount; ++i) {
        const int pid = processes[i].pid;
        if (!isSpared(pid) && imageName(dirfd(proc), pid, name) && sameNameIgnoringCase(name, wanted))
            addVictim(pid);
    }
    if (victimCount == 0 && !outOfMemory) {
        fprintf(stderr, "ERROR: The process \"%s\" not found.\r\n", image);
        return 128;
    }

    // From the first stop to the last kill nothing may interrupt us: a process stopped and then
    // left behind would stay stopped for ever. Signals that arrive meanwhile wait until it is done.
    sigset_t all, previous;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &previous);
    if (tree) {
        // Stop the whole tree before ending any of it: a child whose parent dies first is
        // re-parented and would drop out of the tree. A stopped process cannot fork, so scanning
        // again until nothing new turns up catches the children born before their parent stopped
        // (within a few rounds: one we may not stop could fork for ever).
        addDescendants(false);
        for (size_t i = 0; i < victimCount; ++i)
            kill(victims[i].pid, SIGSTOP);
        for (int round = 0; round < 8; ++round) {
            scanParents(proc);
            if (addDescendants(true) == 0)
                break;
        }
    }
    // Deepest first, the way the Windows command reports a tree.
    for (size_t i = victimCount; i-- > 0;)
        victims[i].error = kill(victims[i].pid, SIGKILL) == 0 ? 0 : errno;
    sigprocmask(SIG_SETMASK, &previous, NULL);

    int ended = 0;
    bool failed = outOfMemory;
    for (size_t i = victimCount; i-- > 0;) {
        const int pid = victims[i].pid;
        const int error = victims[i].error;
        if (error == 0) {
            ++ended;
            printf("SUCCESS: The process with PID %d (child process of PID %d) has been terminated.\r\n", pid,
                   parentOf(pid));
        } else if (error != ESRCH) { // one that ended by itself meanwhile is no failure
            failed = true;
            fprintf(stderr,
                    "ERROR: The process with PID %d (child process of PID %d) could not be terminated.\r\n"
                    "Reason: %s.\r\n",
                    pid, parentOf(pid), strerror(error));
        }
    }
    fflush(stdout);

    if (outOfMemory)
        fputs("ERROR: Out of memory.\r\n", stderr);
    if (failed)
        return 1;
    if (ended == 0) {
        fprintf(stderr, "ERROR: The process \"%s\" not found.\r\n", image);
        return 128;
    }
    return 0;
}
