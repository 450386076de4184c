/* The public header as a C application sees it: every declaration compiles as C, and each
 * export has the type the application expects. */
#include "header_from_c.h"

#include <kest.h>

static void onState(int state) {
    (void)state;
}
static void onStatus(const char* text) {
    (void)text;
}

int kestHeaderDeclarationsFromC(void) {
    int (*addState)(KEST_StateChangeHandler) = KEST_AddStateChangeHandler;
    int (*addStatus)(KEST_StatusMessageHandler) = KEST_AddStatusMessageHandler;
    int (*removeState)(void) = KEST_RemoveStateChangeHandler;
    int (*removeStatus)(void) = KEST_RemoveStatusMessageHandler;
    int (*open)(unsigned char, unsigned char, int) = KEST_Open;
    int (*close)(void) = KEST_Close;
    int (*enable)(int) = KEST_Enable;
    int (*disable)(void) = KEST_Disable;
    int (*downloadFile)(void) = KEST_DownloadFile;
    int (*getState)(void) = KEST_GetState;
    int (*getVersionInfo)(int*, int*, char*) = KEST_GetVersionInfo;
    int (*getDownloadInfo)(void*, int*, int*) = KEST_GetDownloadInfo;
    int (*getTimeout)(void) = KEST_GetTimeout;
    int (*setTimeout)(int) = KEST_SetTimeout;
    int (*getVersionReq)(void) = KEST_GetVersionReq;
    int (*setVersionReq)(unsigned char) = KEST_SetVersionReq;
    int (*getDownloadReq)(void) = KEST_GetDownloadReq;
    int (*setDownloadReq)(unsigned char) = KEST_SetDownloadReq;
    int (*getAutoRecover)(unsigned char*, unsigned char*) = KEST_GetAutoRecover;
    int (*setAutoRecover)(unsigned char, unsigned char) = KEST_SetAutoRecover;
    KEST_StateChangeHandler stateHandler = onState;
    KEST_StatusMessageHandler statusHandler = onStatus;

    /* Without the library attached every status is KEST_NO_DEVICE and every getter 0. */
    unsigned char flag = 0;
    int value = 0;
    int sum = addState(stateHandler) + addStatus(statusHandler) + removeState() + removeStatus() +
              open(1, 1, 1) + close() + enable(1) + disable() + downloadFile() +
              getVersionInfo(&value, &value, 0) + getDownloadInfo(0, &value, &value) +
              setTimeout(1) + setVersionReq(1) + setDownloadReq(1) + getAutoRecover(&flag, &flag) +
              setAutoRecover(1, 1);
    sum += getState() + getTimeout() + getVersionReq() + getDownloadReq();
    return sum == 16 * KEST_NO_DEVICE && KEST_STATE_ENABLED_3 == 13 && KEST_BUSY == 3;
}
