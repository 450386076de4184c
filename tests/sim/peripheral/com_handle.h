// The library's end of a COM device, for tests that play the library against the peripheral.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <vector>

namespace sim {

// Only bounds a hang; a healthy run never waits this long.
inline constexpr std::chrono::milliseconds kBound{5000};

class Handle {
  public:
    explicit Handle(const char16_t* name)
        : handle_(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                              nullptr)) {}
    ~Handle() { close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }
    void close() {
        if (valid()) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

    bool write(const std::vector<std::uint8_t>& bytes) {
        DWORD written = 0;
        return WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                         nullptr) &&
               written == bytes.size();
    }

    // Reads until `count` bytes have come or a read gives none within the bound.
    std::vector<std::uint8_t> read(std::size_t count) {
        COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, static_cast<DWORD>(kBound.count()), 0, 0};
        SetCommTimeouts(handle_, &timeouts);
        std::vector<std::uint8_t> bytes(count);
        std::size_t got = 0;
        while (got < count) {
            DWORD n = 0;
            if (!ReadFile(handle_, bytes.data() + got, static_cast<DWORD>(count - got), &n,
                          nullptr) ||
                n == 0)
                break;
            got += n;
        }
        bytes.resize(got);
        return bytes;
    }

  private:
    HANDLE handle_;
};

}  // namespace sim
