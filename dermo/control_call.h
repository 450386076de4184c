// One DRX_IOControl call as the handlers of the control codes see it, with the checks and the
// word access they share.
#pragma once

#include <cstring>

#include "context.h"

struct ControlCall {
    OpenContext* open;
    DeviceContext* device;
    PBYTE in;
    DWORD inLength;
    PBYTE out;
    DWORD outLength;
    DWORD produced;  // bytes of the output written, reported on success
};

// 0 when the input holds size bytes; ERROR_INVALID_PARAMETER when it is shorter or missing.
inline DWORD NeedInput(const ControlCall& call, DWORD size) {
    return call.inLength < size || call.in == nullptr ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
}

// 0 when the output holds size bytes; ERROR_INSUFFICIENT_BUFFER when it is shorter,
// ERROR_INVALID_PARAMETER when it is missing.
inline DWORD NeedOutput(const ControlCall& call, DWORD size) {
    if (call.outLength < size) return ERROR_INSUFFICIENT_BUFFER;
    return call.out == nullptr ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
}

// The buffers carry no alignment promise: words are copied, never read in place.
inline DWORD InputWord(const ControlCall& call, DWORD index) {
    DWORD word = 0;
    std::memcpy(&word, call.in + index * sizeof word, sizeof word);
    return word;
}

template <class T>
inline void PutOutput(ControlCall& call, const T& value) {
    std::memcpy(call.out, &value, sizeof value);
    call.produced = sizeof value;
}

// The codes that talk to the sensor (control_requests.cpp). Each returns 0 or the error.
DWORD ResetBulkPipes(ControlCall& call, bool abortFirst);
DWORD VendorRead(ControlCall& call);
DWORD VendorWrite(ControlCall& call);
DWORD ReadDescriptor(ControlCall& call);
