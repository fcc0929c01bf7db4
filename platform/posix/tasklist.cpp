// tasklist: lists the running processes by image name and pid, in the layout of the Windows command
// of the same name, so that the watchdog reads one format on every system. Arguments are ignored.
//
// It runs every few seconds for months, hence plain C on /proc and a big output buffer.

#include "imagename.h"

#include <cstdio>

namespace {
char outBuffer[1 << 16];
}

int main()
{
    imagename::ProcDir proc;
    if (!proc.isOpen()) {
        std::fputs("ERROR: /proc cannot be read.\r\n", stderr);
        return 1;
    }

    std::setvbuf(stdout, outBuffer, _IOFBF, sizeof outBuffer);
    std::fputs("\r\n"
               "Image Name                     PID\r\n"
               "========================= ========\r\n",
               stdout);

    char name[imagename::nameSize];
    proc.forEachPid([&](int pid) {
        // A process that ends while we look is simply not listed. Long names are printed whole:
        // a cut name would no longer match what taskkill compares.
        if (imagename::imageName(proc.fd(), pid, name))
            std::printf("%-25s %8d\r\n", name, pid);
    });

    // The reader may be slow or the listing long; a failed write must show as a failure, not as
    // a listing that silently lacks its tail.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::perror("tasklist: write");
        return 1;
    }
    return 0;
}
