#include "fake_usb.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <stdexcept>

FakeUsb fakeUsb;

namespace {

// Guards the records that transfers, aborts and power calls on different threads share. Never
// held while a completion routine runs or while an entry sleeps or waits.
std::mutex fakeLock;

std::unique_lock<std::mutex> Guard() {
    return std::unique_lock(fakeLock);
}

USB_TRANSFER NewTransfer(DWORD bytes, DWORD status) {
    fakeUsb.transfers.push_back({bytes, status});
    ++fakeUsb.openTransfers;
    return reinterpret_cast<USB_TRANSFER>(0x10000 + fakeUsb.transfers.size());
}

FakeUsb::Transfer* FindTransfer(USB_TRANSFER handle) {
    const auto index = reinterpret_cast<std::uintptr_t>(handle) - 0x10001;
    return index < fakeUsb.transfers.size() ? &fakeUsb.transfers[index] : nullptr;
}

bool IsHalted(USB_PIPE pipe) {
    return std::find(fakeUsb.haltedPipes.begin(), fakeUsb.haltedPipes.end(), pipe) !=
           fakeUsb.haltedPipes.end();
}

void Complete(LPTRANSFER_NOTIFY_ROUTINE routine, LPVOID parameter) {
    if (routine != nullptr) routine(parameter);
}

LPCUSB_DEVICE GetDeviceInfo(USB_HANDLE) {
    return &fakeUsb.device;
}

LPCUSB_INTERFACE FindInterface(LPCUSB_DEVICE, UCHAR number, UCHAR alternate) {
    for (const USB_INTERFACE& i : fakeUsb.interfaces)
        if (i.Descriptor.bInterfaceNumber == number && i.Descriptor.bAlternateSetting == alternate)
            return &i;
    return nullptr;
}

USB_TRANSFER SetInterface(USB_HANDLE, LPTRANSFER_NOTIFY_ROUTINE, LPVOID, DWORD, UCHAR number,
                          UCHAR alternate) {
    ++fakeUsb.setInterfaceCalls;
    fakeUsb.selectedInterface = number;
    fakeUsb.selectedAlternate = alternate;
    return NewTransfer(0, USB_NO_ERROR);
}

BOOL CloseTransfer(USB_TRANSFER handle) {
    const auto guard = Guard();
    if (FakeUsb::Transfer* transfer = FindTransfer(handle)) transfer->pendingOn = nullptr;
    --fakeUsb.openTransfers;
    return TRUE;
}

BOOL GetTransferStatus(USB_TRANSFER handle, LPDWORD bytes, LPDWORD status) {
    const auto guard = Guard();
    const FakeUsb::Transfer* transfer = FindTransfer(handle);
    if (transfer == nullptr || fakeUsb.failTransferStatus) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (bytes != nullptr) *bytes = transfer->bytes;
    *status = transfer->status;
    return TRUE;
}

USB_TRANSFER IssueBulkTransfer(USB_PIPE pipe, LPTRANSFER_NOTIFY_ROUTINE routine, LPVOID parameter,
                               DWORD flags, DWORD size, LPVOID buffer, ULONG) {
    if (fakeUsb.beforeBulkIssue) fakeUsb.beforeBulkIssue();
    auto guard = Guard();
    fakeUsb.bulkCalls.push_back({pipe, flags, size, buffer});
    FakeUsb::BulkOutcome outcome;
    if (!fakeUsb.bulkOutcomes.empty()) {
        outcome = fakeUsb.bulkOutcomes.front();
        fakeUsb.bulkOutcomes.pop_front();
    }
    if (outcome.throws) throw std::runtime_error("the stack failed");
    if (outcome.refused) {
        SetLastError(outcome.refusedError);
        return nullptr;
    }
    if (IsHalted(pipe)) outcome = {0, USB_STALL_ERROR};
    if (!outcome.completes) {
        const USB_TRANSFER transfer = NewTransfer(0, USB_NOT_COMPLETE_ERROR);
        fakeUsb.transfers.back().pendingOn = pipe;
        fakeUsb.transfers.back().routine = routine;
        fakeUsb.transfers.back().parameter = parameter;
        return transfer;
    }
    const DWORD bytes = std::min(outcome.bytes, size);
    if (flags & USB_IN_TRANSFER) std::memset(buffer, FakeUsb::kInData, bytes);
    if (outcome.status == USB_STALL_ERROR && !IsHalted(pipe)) fakeUsb.haltedPipes.push_back(pipe);
    const USB_TRANSFER transfer = NewTransfer(bytes, outcome.status);
    guard.unlock();
    if (outcome.takesMs > 0) Sleep(outcome.takesMs);
    if (outcome.notifies) Complete(routine, parameter);
    return transfer;
}

BOOL IsTransferComplete(USB_TRANSFER handle) {
    const auto guard = Guard();
    const FakeUsb::Transfer* transfer = FindTransfer(handle);
    return transfer != nullptr && transfer->pendingOn == nullptr;
}

BOOL IsPipeHalted(USB_PIPE pipe, LPBOOL halted) {
    const auto guard = Guard();
    if (fakeUsb.failHaltQuery) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *halted = IsHalted(pipe) ? TRUE : FALSE;
    return TRUE;
}

BOOL ResetPipe(USB_PIPE pipe) {
    fakeUsb.resetPipes.push_back(pipe);
    if (const auto failure = fakeUsb.resetFailures.find(pipe);
        failure != fakeUsb.resetFailures.end()) {
        SetLastError(failure->second);
        return FALSE;
    }
    std::erase(fakeUsb.haltedPipes, pipe);
    return TRUE;
}

// Cancels the pipe's pending transfers and then calls their routines, as the stack does.
BOOL AbortPipeTransfers(USB_PIPE pipe, DWORD) {
    std::vector<FakeUsb::Transfer> aborted;
    {
        const auto guard = Guard();
        fakeUsb.abortedPipes.push_back(pipe);
        for (FakeUsb::Transfer& transfer : fakeUsb.transfers)
            if (transfer.pendingOn == pipe) {
                transfer.pendingOn = nullptr;
                transfer.status = USB_CANCELED_ERROR;
                aborted.push_back(transfer);
            }
    }
    for (const FakeUsb::Transfer& transfer : aborted) Complete(transfer.routine, transfer.parameter);
    if (fakeUsb.abortSignal != nullptr) SetEvent(fakeUsb.abortSignal);
    return TRUE;
}

USB_TRANSFER ClearFeature(USB_HANDLE, LPTRANSFER_NOTIFY_ROUTINE routine, LPVOID parameter,
                          DWORD flags, WORD feature, UCHAR index) {
    fakeUsb.clearFeatureCalls.push_back({flags, feature, index});
    const USB_TRANSFER transfer = NewTransfer(0, fakeUsb.clearFeatureStatus);
    Complete(routine, parameter);
    return transfer;
}

BOOL IsDefaultPipeHalted(USB_HANDLE, LPBOOL halted) {
    *halted = fakeUsb.defaultPipeHalted ? TRUE : FALSE;
    return TRUE;
}

BOOL ResetDefaultPipe(USB_HANDLE) {
    ++fakeUsb.defaultPipeResets;
    fakeUsb.defaultPipeHalted = false;
    return TRUE;
}

BOOL DisableDevice(USB_HANDLE, BOOL, UCHAR) {
    ++fakeUsb.disableCalls;
    return TRUE;
}

USB_TRANSFER IssueVendorTransfer(USB_HANDLE, LPTRANSFER_NOTIFY_ROUTINE routine, LPVOID parameter,
                                 DWORD flags, LPCUSB_DEVICE_REQUEST setup, LPVOID buffer, ULONG) {
    fakeUsb.vendorRequests.push_back(*setup);
    fakeUsb.vendorFlags.push_back(flags);
    if (fakeUsb.refuseVendor) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return nullptr;
    }
    DWORD bytes = setup->wLength;
    if (flags & USB_IN_TRANSFER) {
        bytes = std::min<DWORD>(setup->wLength, static_cast<DWORD>(fakeUsb.vendorReply.size()));
        if (bytes > 0) std::memcpy(buffer, fakeUsb.vendorReply.data(), bytes);
    }
    if (fakeUsb.vendorStatus == USB_STALL_ERROR) fakeUsb.defaultPipeHalted = true;
    const USB_TRANSFER transfer = NewTransfer(bytes, fakeUsb.vendorStatus);
    Complete(routine, parameter);
    return transfer;
}

USB_TRANSFER GetDescriptor(USB_HANDLE, LPTRANSFER_NOTIFY_ROUTINE, LPVOID, DWORD flags, UCHAR type,
                           UCHAR index, WORD language, WORD length, LPVOID buffer) {
    fakeUsb.descriptorCalls.push_back({flags, type, index, language, length});
    if (fakeUsb.refuseDescriptor) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return nullptr;
    }
    const std::vector<BYTE>& reply = fakeUsb.descriptorReply;
    const DWORD bytes = std::min<DWORD>(length, static_cast<DWORD>(reply.size()));
    if (bytes > 0) std::memcpy(buffer, reply.data(), bytes);
    DWORD status = fakeUsb.descriptorStatus;
    if (status == USB_NO_ERROR && reply.size() > length) status = USB_DATA_OVERRUN_ERROR;
    if (status == USB_STALL_ERROR) fakeUsb.defaultPipeHalted = true;
    return NewTransfer(bytes, status);
}

USB_PIPE OpenPipe(USB_HANDLE, LPCUSB_ENDPOINT_DESCRIPTOR endpoint) {
    if (fakeUsb.failOpenPipe) return nullptr;
    fakeUsb.openedEndpoints.push_back(endpoint->bEndpointAddress);
    ++fakeUsb.openPipes;
    return FakeUsb::pipe(static_cast<int>(fakeUsb.openedEndpoints.size()));
}

BOOL ClosePipe(USB_PIPE) {
    --fakeUsb.openPipes;
    return TRUE;
}

BOOL RegisterNotification(USB_HANDLE, LPDEVICE_NOTIFY_ROUTINE routine, LPVOID parameter) {
    if (fakeUsb.onRegisterNotification) return fakeUsb.onRegisterNotification(parameter);
    fakeUsb.notifyRoutine = routine;
    fakeUsb.notifyParameter = parameter;
    return TRUE;
}

BOOL UnRegisterNotification(USB_HANDLE, LPDEVICE_NOTIFY_ROUTINE routine, LPVOID parameter) {
    ++fakeUsb.unregisterCalls;
    if (routine == fakeUsb.notifyRoutine && parameter == fakeUsb.notifyParameter) {
        fakeUsb.notifyRoutine = nullptr;
        fakeUsb.notifyParameter = nullptr;
    }
    return TRUE;
}

BOOL SuspendDevice(USB_HANDLE, UCHAR) {
    if (fakeUsb.suspendGate != nullptr) WaitForSingleObject(fakeUsb.suspendGate, INFINITE);
    const auto guard = Guard();
    ++fakeUsb.suspendCalls;
    return TRUE;
}

BOOL ResumeDevice(USB_HANDLE, UCHAR) {
    if (fakeUsb.resumeGate != nullptr) WaitForSingleObject(fakeUsb.resumeGate, INFINITE);
    const auto guard = Guard();
    ++fakeUsb.resumeCalls;
    return TRUE;
}

}  // namespace

void FakeUsb::reset(const sim::SensorProfile& profile) {
    *this = FakeUsb{};
    for (const sim::SensorInterface& setting : profile.interfaces) {
        std::vector<USB_ENDPOINT> list;
        for (const sim::SensorEndpoint& e : setting.endpoints) {
            USB_ENDPOINT endpoint{};
            endpoint.dwCount = sizeof endpoint;
            endpoint.Descriptor = {
                7, USB_ENDPOINT_DESCRIPTOR_TYPE, e.address, e.type, e.maxPacketSize, e.interval};
            list.push_back(endpoint);
        }
        endpoints.push_back(std::move(list));
    }
    for (std::size_t i = 0; i < profile.interfaces.size(); ++i) {
        const sim::SensorInterface& setting = profile.interfaces[i];
        USB_INTERFACE interface {};
        interface.dwCount = sizeof interface;
        interface.Descriptor = {9,
                                USB_INTERFACE_DESCRIPTOR_TYPE,
                                setting.number,
                                setting.alternateSetting,
                                static_cast<UCHAR>(setting.endpoints.size()),
                                setting.interfaceClass,
                                setting.interfaceSubClass,
                                setting.interfaceProtocol,
                                0};
        interface.lpEndpoints = endpoints[i].data();
        interfaces.push_back(interface);
    }
    config.dwCount = sizeof config;
    config.dwNumInterfaces = static_cast<DWORD>(interfaces.size());
    config.lpInterfaces = interfaces.data();
    device.dwCount = sizeof device;
    device.Descriptor.bLength = 18;
    device.Descriptor.idVendor = profile.vendorId;
    device.Descriptor.idProduct = profile.productId;
    device.Descriptor.bcdDevice = profile.release;
    device.lpConfigs = &config;
    device.lpActiveConfig = &config;

    funcs.dwCount = sizeof funcs;
    funcs.lpGetDeviceInfo = GetDeviceInfo;
    funcs.lpFindInterface = FindInterface;
    funcs.lpSetInterface = SetInterface;
    funcs.lpCloseTransfer = CloseTransfer;
    funcs.lpGetTransferStatus = GetTransferStatus;
    funcs.lpIssueBulkTransfer = IssueBulkTransfer;
    funcs.lpIsTransferComplete = IsTransferComplete;
    funcs.lpIsPipeHalted = IsPipeHalted;
    funcs.lpResetPipe = ResetPipe;
    funcs.lpAbortPipeTransfers = AbortPipeTransfers;
    funcs.lpClearFeature = ClearFeature;
    funcs.lpIsDefaultPipeHalted = IsDefaultPipeHalted;
    funcs.lpResetDefaultPipe = ResetDefaultPipe;
    funcs.lpDisableDevice = DisableDevice;
    funcs.lpIssueVendorTransfer = IssueVendorTransfer;
    funcs.lpGetDescriptor = GetDescriptor;
    funcs.lpOpenPipe = OpenPipe;
    funcs.lpClosePipe = ClosePipe;
    funcs.lpRegisterNotificationRoutine = RegisterNotification;
    funcs.lpUnRegisterNotificationRoutine = UnRegisterNotification;
    funcs.lpSuspendDevice = SuspendDevice;
    funcs.lpResumeDevice = ResumeDevice;
}
