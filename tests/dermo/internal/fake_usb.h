// A USB stack in miniature for the driver: one device built from a sensor profile, served
// through a USB_FUNCS table whose entries record what the driver asked for and answer as the
// test scripts them. The entries are plain functions, so the fake is one object per test program
// (reset() between tests). Transfers complete inside the call that issues them: a completion
// routine runs before the issuing entry returns, which the driver must tolerate; a transfer
// scripted never to complete stays pending until its pipe's transfers are aborted or it is
// closed. The entries that transfers, aborts and power calls reach may be called from several
// threads at once.
#pragma once

#include <sensor/sensor_profile.h>
#include <usbdi.h>

#include <deque>
#include <functional>
#include <map>
#include <vector>

struct FakeUsb {
    // Builds the device from the profile and a full table (suspend offered).
    void reset(const sim::SensorProfile& profile);

    USB_FUNCS funcs{};
    USB_DEVICE device{};
    USB_CONFIGURATION config{};
    std::vector<USB_INTERFACE> interfaces;
    std::vector<std::vector<USB_ENDPOINT>> endpoints;

    int suspendCalls = 0;
    int resumeCalls = 0;
    int setInterfaceCalls = 0;
    BYTE selectedInterface = 0xFF;
    BYTE selectedAlternate = 0xFF;
    int openTransfers = 0;
    std::vector<BYTE> openedEndpoints;  // addresses, in OpenPipe order
    int openPipes = 0;
    bool failOpenPipe = false;
    LPDEVICE_NOTIFY_ROUTINE notifyRoutine = nullptr;
    LPVOID notifyParameter = nullptr;
    int unregisterCalls = 0;
    // When set, RegisterNotificationRoutine runs this with the parameter and answers with its
    // result instead of registering.
    std::function<BOOL(LPVOID)> onRegisterNotification;
    // When set, SuspendDevice or ResumeDevice waits until this event is signalled.
    HANDLE suspendGate = nullptr;
    HANDLE resumeGate = nullptr;
    // When set, IssueBulkTransfer runs this first, outside the stack's lock.
    std::function<void()> beforeBulkIssue;
    // When set, AbortPipeTransfers signals it once the pipe's transfers are aborted.
    HANDLE abortSignal = nullptr;

    // ---- Bulk transfers ----
    struct BulkOutcome {
        DWORD bytes = kAll;  // moved; kAll for the whole request
        DWORD status = USB_NO_ERROR;
        bool completes = true;  // false: never completes (until closed)
        DWORD takesMs = 0;      // how long the transfer runs before it completes
        bool throws = false;    // the issuing entry raises an exception instead
        bool refused = false;   // no transfer handle, with this last error:
        DWORD refusedError = ERROR_DEVICE_NOT_CONNECTED;
        bool notifies = true;  // false: completes without calling its routine (a late one)
    };
    static constexpr DWORD kAll = 0xFFFFFFFF;
    struct BulkCall {
        USB_PIPE pipe;
        DWORD flags;
        DWORD size;
        const void* buffer;
    };
    std::deque<BulkOutcome> bulkOutcomes;  // for the next transfers; then each completes fully
    std::vector<BulkCall> bulkCalls;
    bool failTransferStatus = false;       // GetTransferStatus fails for every transfer
    static constexpr BYTE kInData = 0xA5;  // what bulk IN transfers deliver

    // ---- Pipe and device recovery ----
    std::vector<USB_PIPE> haltedPipes;        // a transfer that stalls halts its pipe
    bool failHaltQuery = false;               // IsPipeHalted fails
    std::map<USB_PIPE, DWORD> resetFailures;  // ResetPipe of these pipes fails with the error
    std::vector<USB_PIPE> resetPipes;
    std::vector<USB_PIPE> abortedPipes;
    struct ClearFeatureCall {
        DWORD flags;
        WORD feature;
        UCHAR index;
    };
    std::vector<ClearFeatureCall> clearFeatureCalls;
    DWORD clearFeatureStatus = USB_NO_ERROR;
    bool defaultPipeHalted = false;
    int defaultPipeResets = 0;
    int disableCalls = 0;

    // ---- Requests on the default pipe ----
    std::vector<USB_DEVICE_REQUEST> vendorRequests;
    std::vector<DWORD> vendorFlags;
    std::vector<BYTE> vendorReply;  // IN data, cut to wLength
    DWORD vendorStatus = USB_NO_ERROR;
    bool refuseVendor = false;
    struct DescriptorCall {
        DWORD flags;
        UCHAR type;
        UCHAR index;
        WORD language;
        WORD length;
    };
    std::vector<DescriptorCall> descriptorCalls;
    std::vector<BYTE> descriptorReply;  // more than the length asked for is an overrun
    DWORD descriptorStatus = USB_NO_ERROR;
    bool refuseDescriptor = false;  // no transfer handle, last error ERROR_DEVICE_NOT_CONNECTED

    // Handles of the three pipes of the standard sensor, in the order they are opened.
    static USB_PIPE pipe(int number) { return reinterpret_cast<USB_PIPE>(0x3000 + number); }
    static USB_PIPE bulkInPipe() { return pipe(1); }
    static USB_PIPE bulkOutPipe() { return pipe(2); }

    // ---- Internal: the transfers handed out ----
    struct Transfer {
        DWORD bytes;
        DWORD status;
        // A transfer still pending: its pipe, and the routine that an abort calls.
        USB_PIPE pendingOn = nullptr;
        LPTRANSFER_NOTIFY_ROUTINE routine = nullptr;
        LPVOID parameter = nullptr;
    };
    std::vector<Transfer> transfers;
};

extern FakeUsb fakeUsb;
