// What ReadFile, WriteFile, SetFilePointer and DeviceIoControl reach through a handle: an open
// file or an open stream device. Each operation sets the last error when it fails.
#pragma once

#include "kernel/object.h"

namespace ce::files {

class IoObject : public ce::kernel::Object {
  public:
    virtual BOOL read(void* buffer, DWORD count, DWORD* done) = 0;
    virtual BOOL write(const void* buffer, DWORD count, DWORD* done) = 0;
    // Returns the new position's low word, INVALID_SET_FILE_POINTER on failure.
    virtual DWORD seek(LONG distance, LONG* distanceHigh, DWORD method) = 0;
    virtual BOOL ioControl(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                           DWORD* returned) = 0;
};

}  // namespace ce::files
