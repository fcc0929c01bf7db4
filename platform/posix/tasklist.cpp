// tasklist: lists the running processes by image name and pid, in the layout of the Windows command
// of the same name, so that the watchdog reads one format on every system. Arguments are ignored.
//
// It runs every few seconds for months, hence plain C++ on /proc and a single write of the whole text.

#include "imagename.h"

#include <cstdio>
#include <string>

int main()
{
    imagename::ProcDir proc;
    if (!proc.isOpen()) {
        std::fputs("ERROR: /proc cannot be read.\r\n", stderr);
        return 1;
    }

    std::string out;
    out.reserve(1 << 16);
    out += "\r\n"
           "Image Name                     PID\r\n"
           "========================= ========\r\n";

    std::string name;
    char line[64];
    proc.forEachPid([&](int pid) {
        // A process that ends while we look is simply not listed.
        if (!imagename::imageName(proc.fd(), pid, name))
            return;
        // Long names are printed whole: a cut name would no longer match what taskkill compares.
        out += name;
        const int width = name.size() < 25 ? static_cast<int>(25 - name.size()) : 0;
        int n = std::snprintf(line, sizeof line, "%*s %8d\r\n", width, "", pid);
        out.append(line, static_cast<std::size_t>(n));
    });

    // The reader may be slow or the listing long; a short write must show as a failure, not as
    // a listing that silently lacks its tail.
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) {
        std::perror("tasklist: write");
        return 1;
    }
    return 0;
}
