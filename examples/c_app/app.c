/* A handheld application in C, built against the installed SDK. It knows nothing of the host it
 * runs on: the host configuration named by KEST_HOST says where the handheld's files are and what
 * answers on its COM ports, the simulated peripheral or a real one.
 *
 *   KEST_HOST=host.toml ./app
 *
 * It opens the peripheral with its version and its file, prints both, closes it again and exits
 * 0 when the whole file arrived. */
#include <windows.h>
#include <kest.h>
#include <stdio.h>

static void showStatus(const char* text) {
    printf("status: %s\n", text);
}

int main(void) {
    int opened, major = 0, minor = 0, received = 0, total = 0, waitedMs = 0;
    char version[13] = "";

    KEST_AddStatusMessageHandler(showStatus);
    opened = KEST_Open(1, 1, 10);
    if (opened == KEST_OK) {
        KEST_GetVersionInfo(&major, &minor, version);
        KEST_GetDownloadInfo(NULL, &received, &total);
    }
    printf("open: %d, version %d.%d '%s', file: %d of %d bytes\n", opened, major, minor, version,
           received, total);

    KEST_Close(); /* does not wait: the library powers the peripheral off on its own thread */
    while (KEST_GetState() != KEST_STATE_CLOSED && waitedMs < 10000) {
        Sleep(10);
        waitedMs += 10;
    }
    KEST_RemoveStatusMessageHandler();
    return opened == KEST_OK && total > 0 && received == total ? 0 : 1;
}
