// tasklist: lists the running processes by image name and pid, in the layout of the Windows command
// of the same name, so that the watchdog reads one format on every system. Arguments are ignored.

#include "imagename.h"

static char outBuffer[1 << 16];

int main(void)
{
    DIR *proc = opendir("/proc");
    if (!proc) {
        fputs("ERROR: /proc cannot be read.\r\n", stderr);
        return 1;
    }

    setvbuf(stdout, outBuffer, _IOFBF, sizeof outBuffer);
    fputs("\r\n"
          "Image Name                     PID\r\n"
          "========================= ========\r\n",
          stdout);

    char name[NAME_SIZE];
    int pid;
    while ((pid = nextPid(proc)) != 0) {
        // A process that ends while we look is simply not listed. Long names are printed whole:
        // a cut name would no longer match what taskkill compares.
        if (imageName(dirfd(proc), pid, name))
            printf("%-25s %8d\r\n", name, pid);
    }

    // The reader may be slow or the listing long; a failed write must show as a failure, not as
    // a listing that silently lacks its tail.
    if (fflush(stdout) != 0 || ferror(stdout)) {
        perror("tasklist: write");
        return 1;
    }
    return 0;
}
