// DRX_IOControl: the entry checks, the codes answered from the driver's own records, and the
// dispatch to those that reach the sensor (control_requests.cpp).
#include <dermo.h>

#include "control_call.h"
#include "exports.h"
#include "live_contexts.h"

namespace {

constexpr DWORD kFixedPropertyFirst = 12;
constexpr DWORD kFixedPropertyLast = 15;
constexpr DWORD kPropertyQueryInput = 2 * sizeof(DWORD);  // identifier and a word not examined
constexpr DWORD kNoopCheckedInput = 2 * sizeof(DWORD);
constexpr DWORD kFixedInfo[] = {1, 1, 3, 0};
constexpr DWORD kFixedInfoShort = 3 * sizeof(DWORD);

bool IsFixedProperty(DWORD property) {
    return property >= kFixedPropertyFirst && property <= kFixedPropertyLast;
}

DWORD PacketSize(const PipeState& pipe) {
    return pipe.hPipe != nullptr ? pipe.endpoint.wMaxPacketSize : 0;
}

DWORD GetMaxPacketSizes(ControlCall& call) {
    if (const DWORD error = NeedOutput(call, sizeof(SENSOR_PACKET_SIZES))) return error;
    const DeviceContext& device = *call.device;
    PutOutput(call, SENSOR_PACKET_SIZES{PacketSize(device.interruptIn), PacketSize(device.bulkIn),
                                        PacketSize(device.bulkOut)});
    return ERROR_SUCCESS;
}

DWORD GetDeviceIds(ControlCall& call) {
    if (const DWORD error = NeedOutput(call, sizeof(SENSOR_DEVICE_IDS))) return error;
    const USB_DEVICE_DESCRIPTOR& d = call.device->deviceDescriptor;
    PutOutput(call, SENSOR_DEVICE_IDS{d.idVendor, d.idProduct, d.bcdDevice, 0});
    return ERROR_SUCCESS;
}

// A zero word keeps that time-out, so none can be set to 0.
DWORD SetTimeouts(ControlCall& call) {
    if (const DWORD error = NeedInput(call, sizeof(SENSOR_TIMEOUTS))) return error;
    DWORD* const timeouts[] = {&call.open->readTimeout, &call.open->writeTimeout,
                               &call.open->controlTimeout};
    for (DWORD i = 0; i < 3; ++i)
        if (const DWORD value = InputWord(call, i); value != 0) StoreShared(*timeouts[i], value);
    return ERROR_SUCCESS;
}

DWORD GetFixedInfo(ControlCall& call) {
    if (const DWORD error = NeedOutput(call, kFixedInfoShort)) return error;
    const DWORD size = call.outLength >= sizeof kFixedInfo ? sizeof kFixedInfo : kFixedInfoShort;
    std::memcpy(call.out, kFixedInfo, size);
    call.produced = size;
    return ERROR_SUCCESS;
}

DWORD GetProperty(ControlCall& call) {
    if (const DWORD error = NeedInput(call, kPropertyQueryInput)) return error;
    if (const DWORD error = NeedOutput(call, sizeof(DWORD))) return error;
    const DWORD property = InputWord(call, 0);
    DWORD value = 0;
    if (property == SENSOR_PROPERTY_TIMEOUT_PER_REQUEST)
        value = LoadShared(call.open->timeoutPerRequest) == 1 ? 1 : 0;
    else if (!IsFixedProperty(property))
        return SENSOR_E_UNKNOWN_PROPERTY;
    PutOutput(call, value);
    return ERROR_SUCCESS;
}

DWORD SetProperty(ControlCall& call) {
    if (const DWORD error = NeedInput(call, sizeof(SENSOR_PROPERTY_REQUEST))) return error;
    const DWORD property = InputWord(call, 0);
    if (IsFixedProperty(property)) return SENSOR_E_READ_ONLY_PROPERTY;
    if (property != SENSOR_PROPERTY_TIMEOUT_PER_REQUEST) return SENSOR_E_UNKNOWN_PROPERTY;
    // This handle's alone: other handles and the driver key's default keep theirs.
    StoreShared(call.open->timeoutPerRequest, InputWord(call, 2) != 0 ? TRUE : FALSE);
    return ERROR_SUCCESS;
}

DWORD Dispatch(DWORD code, ControlCall& call) {
    switch (code) {
        case IOCTL_SENSOR_ABORT_AND_RESET_PIPES:
            return ResetBulkPipes(call, true);
        case IOCTL_SENSOR_RESET_PIPES:
            return ResetBulkPipes(call, false);
        case IOCTL_SENSOR_VENDOR_READ:
            return VendorRead(call);
        case IOCTL_SENSOR_VENDOR_WRITE:
            return VendorWrite(call);
        case IOCTL_SENSOR_GET_MAX_PACKET_SIZES:
            return GetMaxPacketSizes(call);
        case IOCTL_SENSOR_GET_DEVICE_IDS:
            return GetDeviceIds(call);
        case IOCTL_SENSOR_GET_DESCRIPTOR:
            return ReadDescriptor(call);
        case IOCTL_SENSOR_SET_TIMEOUTS:
            return SetTimeouts(call);
        case IOCTL_SENSOR_EXT_GET_FIXED_INFO:
            return GetFixedInfo(call);
        case IOCTL_SENSOR_EXT_GET_PROPERTY:
            return GetProperty(call);
        case IOCTL_SENSOR_EXT_SET_PROPERTY:
            return SetProperty(call);
        case IOCTL_SENSOR_EXT_NOOP_CHECKED:
            return NeedInput(call, kNoopCheckedInput);
        case IOCTL_SENSOR_EXT_NOOP:
            return ERROR_SUCCESS;
        default:  // the reserved functions 0x800, 0x802, 0x809 and 0x80A among them
            return ERROR_NOT_SUPPORTED;
    }
}

}  // namespace

BOOL DRX_IOControl(DWORD_PTR hOpenContext, DWORD dwCode, PBYTE pBufIn, DWORD dwLenIn, PBYTE pBufOut,
                   DWORD dwLenOut, PDWORD pdwActualOut) {
    OpenContext* open = EnterCall(hOpenContext);
    DWORD error = ERROR_INVALID_PARAMETER;
    ControlCall call{open, nullptr, pBufIn, dwLenIn, pBufOut, dwLenOut, 0};
    if (open != nullptr) {
        call.device = open->device;
        error = IsDetached(call.device) ? ERROR_NOT_READY : Dispatch(dwCode, call);
    }
    SetLastError(error);
    if (error != ERROR_SUCCESS) return FALSE;
    if (pdwActualOut != nullptr) *pdwActualOut = call.produced;
    return TRUE;
}
