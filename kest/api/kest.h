/*
 * KEST: the application interface of the snap-on reader peripheral.
 *
 * Every request (KEST_Open, KEST_Close, KEST_Enable, KEST_Disable, KEST_DownloadFile and
 * KEST_GetVersionInfo while no version is known) only records what is wanted and waits, with a
 * time-out, until the library's manager thread has brought the peripheral into the requested
 * state. Getters and setters return at once. The application learns of every state change and
 * every diagnostic text through the two handlers it registers.
 *
 * Usable from C and C++.
 */
#ifndef KEST_API_KEST_H
#define KEST_API_KEST_H

/* The exports' calling convention, WINAPI, is the SDK's. */
#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The library's own build gives the exports default visibility where the compiler knows symbol
 * visibility (GCC and clang); elsewhere the module-definition file kest.def alone exports them. */
#if defined(KEST_BUILDING_LIBRARY) && defined(__GNUC__)
#define KEST_API __attribute__((visibility("default")))
#else
#define KEST_API
#endif

/* Return codes of every function that returns a status. */
#define KEST_OK 0        /* done; for a request: the requested state was reached in time */
#define KEST_NOT_DONE 1  /* not completed within the time-out, or not available (yet) */
#define KEST_NO_DEVICE 2 /* the library is not initialised, or an exception was caught */
#define KEST_BUSY 3      /* another request is still waiting */

/* Device states, as KEST_GetState returns them and the state-change handler receives them. */
#define KEST_STATE_CLOSED 1          /* both ports closed, version information cleared */
#define KEST_STATE_POWERED 2         /* powered; the data channel is not open yet */
#define KEST_STATE_POWERING_OFF 3    /* power-off in progress */
#define KEST_STATE_READY 4           /* data channel open, peripheral idle */
#define KEST_STATE_POWERED_OFF 5     /* power-off finished */
#define KEST_STATE_VERSION_PENDING 6 /* the version was asked for, the answer is awaited */
#define KEST_STATE_DOWNLOADING 7     /* the peripheral's file is being fetched */
#define KEST_STATE_ACTIVATING_1 8    /* function 1 is being activated */
#define KEST_STATE_ENABLED_1 9       /* function 1 active; data channel closed, power on */
#define KEST_STATE_ACTIVATING_2 10   /* function 2 is being activated */
#define KEST_STATE_ENABLED_2 11      /* function 2 active; data channel closed, power on */
#define KEST_STATE_ACTIVATING_3 12   /* function 3 is being activated */
#define KEST_STATE_ENABLED_3 13      /* function 3 active; data channel closed, power on */

/* Called on the library's manager thread with the new state; also with repeated values (for
 * example 7 on every pass of a running download). */
typedef void (*KEST_StateChangeHandler)(int state);

/* Called on whichever thread reports, with a NUL-terminated text that is only valid during the
 * call: the library's manager thread, its monitor thread (received messages, port diagnostics),
 * or the application's own thread for the texts an export reports itself ("Request already in
 * progress.", "Request timed out." and the exception texts). */
typedef void (*KEST_StatusMessageHandler)(const char* text);

/*
 * What a handler may do. A handler may call every export. A request made from a handler that
 * runs on one of the library's two threads never waits, whatever the time-out: one that has to
 * be carried out returns KEST_NOT_DONE (also when the peripheral is already in the requested
 * state; KEST_BUSY while another request waits), reports no "Request timed out.", and the
 * manager thread carries it out once the handler has returned; the state-change handler then
 * tells how it went. A request with nothing to carry out answers at once as it would anywhere:
 * KEST_DownloadFile returns KEST_OK once a download has ended, KEST_GetVersionInfo returns
 * KEST_OK while a version is known.
 *
 * While a handler runs, the library's thread that called it does nothing else: a state-change
 * handler holds up the manager thread and so every request, a status handler on the monitor
 * thread holds up the messages the peripheral sends. A handler must therefore not wait for
 * anything its own thread would bring about.
 *
 * A handler must never unload the library (FreeLibrary, or anything that ends in the library's
 * process detach): it would return into code that is no longer there. Nor may it call into the
 * loader (LoadLibraryW, FreeLibrary, GetModuleHandleW) or wait for any thread's end: a
 * FreeLibrary of the library on another thread holds the loader lock while it waits for a
 * running handler to return, so such a handler would never return.
 */

/* Handlers. One of each kind is held; registering replaces the previous one. Exceptions thrown
 * by a handler never reach the library or the caller of an export. */
KEST_API int WINAPI KEST_AddStateChangeHandler(KEST_StateChangeHandler handler);
KEST_API int WINAPI KEST_AddStatusMessageHandler(KEST_StatusMessageHandler handler);
KEST_API int WINAPI KEST_RemoveStateChangeHandler(void);
KEST_API int WINAPI KEST_RemoveStatusMessageHandler(void);

/*
 * Requests. A request waits KEST_GetTimeout() seconds (KEST_Close and KEST_Disable do not wait
 * and therefore return KEST_NOT_DONE while the manager carries them out; neither does any request
 * from a handler on the library's own threads, see above). A negative time-out waits practically
 * without limit.
 */

/* Opens the peripheral to KEST_STATE_READY. versionRequested: also obtain its version;
 * downloadRequested: also fetch its file. timeoutSeconds becomes the default time-out of later
 * requests, as KEST_SetTimeout would set it. */
KEST_API int WINAPI KEST_Open(unsigned char versionRequested, unsigned char downloadRequested,
                              int timeoutSeconds);
KEST_API int WINAPI KEST_Close(void);
/* Activates function 1, 2 or 3 of the peripheral; any other type asks for KEST_STATE_READY. */
KEST_API int WINAPI KEST_Enable(int type);
/* Leaves an enabled function: powers the peripheral off and reopens it to KEST_STATE_READY. */
KEST_API int WINAPI KEST_Disable(void);
/* Fetches the peripheral's file unless a download has already ended since it was opened. */
KEST_API int WINAPI KEST_DownloadFile(void);

/* Queries. */
KEST_API int WINAPI KEST_GetState(void); /* 0 without the library */
/* Obtains the version if none is known yet (a request). text, if given, receives up to 12
 * characters and a NUL: its buffer must hold 13 bytes. Each pointer may be null. */
KEST_API int WINAPI KEST_GetVersionInfo(int* major, int* minor, char* text);
/* KEST_OK once the download has ended, successfully or not: compare received with total.
 * The first argument is not read. */
KEST_API int WINAPI KEST_GetDownloadInfo(void* unused, int* received, int* total);

/* Settings. Flags are stored as one byte. */
KEST_API int WINAPI KEST_GetTimeout(void); /* seconds; 0 without the library */
KEST_API int WINAPI KEST_SetTimeout(int seconds);
/* Obtain the version when opening (default 0). Getter: 0 without the library. */
KEST_API int WINAPI KEST_GetVersionReq(void);
KEST_API int WINAPI KEST_SetVersionReq(unsigned char versionRequested);
/* Fetch the peripheral's file when opening (default 1). Getter: 0 without the library. */
KEST_API int WINAPI KEST_GetDownloadReq(void);
KEST_API int WINAPI KEST_SetDownloadReq(unsigned char downloadRequested);
/* With 0 (the default), a system suspend or the handheld's insertion into its cradle closes the
 * peripheral for good; with 1, the library brings it back into the requested state once the
 * handheld is resumed or out of the cradle. Both pointers of the getter must be valid. */
KEST_API int WINAPI KEST_GetAutoRecover(unsigned char* onSuspend, unsigned char* onCradle);
KEST_API int WINAPI KEST_SetAutoRecover(unsigned char onSuspend, unsigned char onCradle);

#ifdef __cplusplus
}
#endif

#endif /* KEST_API_KEST_H */
