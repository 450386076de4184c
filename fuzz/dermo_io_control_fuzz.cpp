// Feeds arbitrary control codes, lengths and buffers (null ones included) to the driver's
// DRX_IOControl on a plugged simulated sensor, through DeviceIoControl as an application calls
// it. The driver checks lengths and null pointers, not where a non-null pointer leads, so the
// harness hands it buffers of exactly the lengths it claims and, in a vendor record, either no
// data pointer or one to a buffer of the record's length; the sanitizers catch any access beyond.
//
// Input: byte 0 chooses the code (one of the driver's, or the next four bytes as a raw code),
// bytes 1-2 and 3-4 the input and output lengths (little-endian, up to 512), byte 5 the flags
// (bit 0: null input, bit 1: null output, bit 2: no data pointer in a vendor record); the rest
// fills the input buffer.
#include <dermo.h>
#include <host/devices.h>
#include <host/registry.h>
#include <host/usb.h>
#include <sensor/sensor.h>
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr std::uint32_t kCodes[] = {0x80002000u,
                                    IOCTL_SENSOR_ABORT_AND_RESET_PIPES,
                                    0x80002008u,
                                    IOCTL_SENSOR_VENDOR_READ,
                                    IOCTL_SENSOR_VENDOR_WRITE,
                                    IOCTL_SENSOR_GET_MAX_PACKET_SIZES,
                                    IOCTL_SENSOR_GET_DEVICE_IDS,
                                    IOCTL_SENSOR_RESET_PIPES,
                                    IOCTL_SENSOR_GET_DESCRIPTOR,
                                    0x80002024u,
                                    0x80002028u,
                                    IOCTL_SENSOR_SET_TIMEOUTS,
                                    IOCTL_SENSOR_EXT_GET_FIXED_INFO,
                                    IOCTL_SENSOR_EXT_GET_PROPERTY,
                                    IOCTL_SENSOR_EXT_NOOP_CHECKED,
                                    IOCTL_SENSOR_EXT_NOOP,
                                    IOCTL_SENSOR_EXT_SET_PROPERTY};
constexpr std::size_t kCodeCount = sizeof kCodes / sizeof kCodes[0];
constexpr std::size_t kMaxLength = 512;

// The sensor stays plugged and DRX1: open for the whole run.
HANDLE OpenSensor() {
    static const HANDLE handle = [] {
        host::registry::reset();
        host::devices::setLibraryDirectory(DERMO_LIBRARY_DIR);
        if (!host::usb::installDriver("DERMO.DLL")) std::abort();
        static const auto sensor = std::make_shared<sim::Sensor>(sim::defaultProfile());
        const host::usb::PlugResult plugged = host::usb::plug(sensor);
        if (!plugged.attached) std::abort();
        sensor->setDeviceId(plugged.id);
        const HANDLE opened = CreateFileW(u"DRX1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                          OPEN_EXISTING, 0, nullptr);
        if (opened == INVALID_HANDLE_VALUE) std::abort();
        return opened;
    }();
    return handle;
}

std::uint32_t Word(const std::uint8_t* data) {
    std::uint32_t word = 0;
    std::memcpy(&word, data, sizeof word);
    return word;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 6) return 0;
    const HANDLE handle = OpenSensor();
    std::size_t used = 6;
    std::uint32_t code = 0;
    if (data[0] % (kCodeCount + 1) < kCodeCount) {
        code = kCodes[data[0] % (kCodeCount + 1)];
    } else {
        if (size < used + 4) return 0;
        code = Word(data + used);
        used += 4;
    }
    const std::size_t inLength = (data[1] | data[2] << 8) % (kMaxLength + 1);
    const std::size_t outLength = (data[3] | data[4] << 8) % (kMaxLength + 1);
    const std::uint8_t flags = data[5];

    // Exactly the lengths claimed, so that the sanitizers see any access past them.
    std::vector<std::uint8_t> in(inLength);
    if (inLength > 0 && size > used)
        std::memcpy(in.data(), data + used, std::min(inLength, size - used));
    std::vector<std::uint8_t> out(outLength);
    std::vector<std::uint8_t> vendorData;
    if ((code == IOCTL_SENSOR_VENDOR_READ || code == IOCTL_SENSOR_VENDOR_WRITE) &&
        inLength >= sizeof(SENSOR_VENDOR_REQUEST)) {
        SENSOR_VENDOR_REQUEST record;
        std::memcpy(&record, in.data(), sizeof record);
        record.length %= kMaxLength + 1;
        vendorData.resize(record.length);
        record.buffer = (flags & 4) != 0 ? nullptr : vendorData.data();
        std::memcpy(in.data(), &record, sizeof record);
    }
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(
        handle, code, (flags & 1) ? nullptr : in.data(), static_cast<DWORD>(inLength),
        (flags & 2) ? nullptr : out.data(), static_cast<DWORD>(outLength), &returned, nullptr);
    // A success never reports more than the output holds.
    if (ok && returned > outLength && code != IOCTL_SENSOR_VENDOR_READ) std::abort();
    return 0;
}
