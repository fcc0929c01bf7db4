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
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

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
    if (arg[0] != '/' && arg[0] != '-')
        return false;
    std::string lower(arg + 1);
    for (char &c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return lower == name;
}

using ParentMap = std::unordered_map<int, int>; // pid -> parent pid

ParentMap scanParents(imagename::ProcDir &proc)
{
    ParentMap parents;
    proc.forEachPid([&](int pid) {
        int ppid = 0;
        if (imagename::parentPid(proc.fd(), pid, ppid))
            parents.emplace(pid, ppid);
    });
    return parents;
}

// The processes to end, in the order found, with a membership test.
struct Victims
{
    std::vector<int> order;
    std::unordered_set<int> members;

    bool add(int pid)
    {
        if (!members.insert(pid).second)
            return false;
        order.push_back(pid);
        return true;
    }
};

// Adds the descendants of every victim from index `from` on. A protected process is neither added
// nor walked through: behind init or our own parent lies far more than the tree that was asked for.
void addDescendants(Victims &victims, std::size_t from, const ParentMap &parents,
                    const std::unordered_set<int> &spared, bool stopNew)
{
    std::unordered_map<int, std::vector<int>> children;
    for (const auto &p : parents)
        children[p.second].push_back(p.first);
    for (std::size_t i = from; i < victims.order.size(); ++i) {
        const auto it = children.find(victims.order[i]);
        if (it == children.end())
            continue;
        for (int child : it->second) {
            if (spared.count(child) || !victims.add(child))
                continue;
            if (stopNew)
                kill(child, SIGSTOP);
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
    std::string wanted(image);
    imagename::makeFieldSafe(wanted);

    // Never ourselves, never whoever called us (it waits for our answer), never init.
    const std::unordered_set<int> spared{static_cast<int>(getpid()), static_cast<int>(getppid()), 1};

    ParentMap parents = scanParents(proc);
    Victims victims;
    std::string name;
    for (const auto &p : parents) {
        if (!spared.count(p.first) && imagename::imageName(proc.fd(), p.first, name)
            && imagename::sameNameIgnoringCase(name, wanted))
            victims.add(p.first);
    }
    if (victims.order.empty()) {
        std::fprintf(stderr, "ERROR: The process \"%s\" not found.\r\n", image);
        return 128;
    }

    if (tree) {
        // Freeze the whole tree before ending any of it: a child whose parent dies first is
        // re-parented and would drop out of the tree. A frozen process cannot fork, so a single
        // rescan catches the children born between the first scan and the freeze.
        addDescendants(victims, 0, parents, spared, false);
        for (int pid : victims.order)
            kill(pid, SIGSTOP);
        parents = scanParents(proc);
        addDescendants(victims, 0, parents, spared, true);
    }

    int ended = 0;
    bool failed = false;
    // Deepest first, the way the Windows command reports a tree.
    for (auto it = victims.order.rbegin(); it != victims.order.rend(); ++it) {
        const int pid = *it;
        const auto parent = parents.find(pid);
        const int ppid = parent != parents.end() ? parent->second : 0;
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
