/* A process listing in the layout of the Windows tasklist, for running the watchdog under Wine, whose own
 * tasklist prints nothing. For the smoke run only.
 *
 *   ZUVA_TEST_LISTING_DELAY_MS  wait that long before listing, so that a test can act while it runs */

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <tlhelp32.h>

/* "12,345 K": kibibytes with thousands separators. */
static void formatMemory(SIZE_T bytes, char *text, size_t size)
{
    char digits[32];
    char grouped[48];
    int length = snprintf(digits, sizeof digits, "%llu", (unsigned long long)(bytes / 1024));
    int out = 0;
    for (int i = 0; i < length; ++i) {
        if (i > 0 && (length - i) % 3 == 0)
            grouped[out++] = ',';
        grouped[out++] = digits[i];
    }
    grouped[out] = '\0';
    snprintf(text, size, "%s K", grouped);
}

/* Processes the listing may not open (the system's own) show 0 K, as they would to a user without rights. */
static SIZE_T workingSet(DWORD pid)
{
    PROCESS_MEMORY_COUNTERS counters;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    SIZE_T bytes = 0;
    if (!process)
        return 0;
    if (GetProcessMemoryInfo(process, &counters, sizeof counters))
        bytes = counters.WorkingSetSize;
    CloseHandle(process);
    return bytes;
}

static const char *sessionName(DWORD session)
{
    if (session == 0)
        return "Services";
    return session == WTSGetActiveConsoleSessionId() ? "Console" : "";
}

int main(void)
{
    const char *delay = getenv("ZUVA_TEST_LISTING_DELAY_MS");
    PROCESSENTRY32W entry;
    HANDLE snapshot;

    if (delay && atoi(delay) > 0)
        Sleep((DWORD)atoi(delay));

    snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "winlist: no process snapshot (error %lu)\n", GetLastError());
        return 1;
    }

    /* The line ends are written as they are, not translated. */
    _setmode(_fileno(stdout), _O_BINARY);
    printf("\r\nImage Name                     PID Session Name        Session#    Mem Usage\r\n"
           "========================= ======== ================ =========== ============\r\n");
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        char image[MAX_PATH * 3];
        char memory[48];
        DWORD session = 0;
        if (!WideCharToMultiByte(CP_UTF8, 0, entry.szExeFile, -1, image, sizeof image, NULL, NULL))
            continue;
        ProcessIdToSessionId(entry.th32ProcessID, &session);
        formatMemory(workingSet(entry.th32ProcessID), memory, sizeof memory);
        printf("%-25.25s %8lu %-16.16s %11lu %12s\r\n", image, entry.th32ProcessID, sessionName(session),
               session, memory);
    }
    CloseHandle(snapshot);
    return fflush(stdout) == 0 ? 0 : 1;
}
