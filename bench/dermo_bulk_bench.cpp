// DRX_Read throughput for 64 KiB reads in 8192-byte transfers from the simulated sensor's endless
// pattern. The baseline issues the same transfers on the USB stack directly (a bare client, with
// the same completion routine and wait): the ratio is the driver's own cost. A second pair reads
// from the sensor paced as a high-speed bulk pipe; its "of_bus_rate" counter is the share of
// 13 x 512 bytes per 125 us that DRX_Read achieves. The third pair reads from another sensor
// reached through libusb and an emulated usbdevfs node (run the program under umockdev-wrapper)
// against the first pair's DRX_Read: the ratio is the cost of the libusb path.
#include <benchmark/benchmark.h>
#include <dermo.h>
#include <host/devices.h>
#include <host/libusb_host.h>
#include <host/registry.h>
#include <host/usb.h>
#include <sensor/sensor.h>
#include <sensor/usbfs_device.h>
#include <umockdev.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "bulk_client.h"

namespace {

namespace reg = sim::registers;

constexpr DWORD kReadSize = 64 * 1024;
constexpr DWORD kChunk = 8192;
constexpr WORD kBaselineProduct = 0x0F0F;  // a sensor only the bare client registers for

void setStreamMode(HANDLE drx) {
    const BYTE stream = reg::kModeStream;
    const SENSOR_VENDOR_REQUEST mode{0, 1, const_cast<BYTE*>(&stream), reg::kControl};
    if (!DeviceIoControl(drx, IOCTL_SENSOR_VENDOR_WRITE, const_cast<SENSOR_VENDOR_REQUEST*>(&mode),
                         sizeof mode, nullptr, 0, nullptr, nullptr))
        std::abort();
}

struct Rig {
    std::shared_ptr<sim::Sensor> driven;    // DRX1:
    std::shared_ptr<sim::Sensor> baseline;  // the bare client's
    HANDLE drx = INVALID_HANDLE_VALUE;
    const BulkClient* client = nullptr;
    HANDLE event = nullptr;
};

Rig& rig() {
    static Rig* built = [] {
        auto* r = new Rig;
        host::registry::reset();
        host::devices::setLibraryDirectory(DERMO_LIBRARY_DIR);
        if (!host::usb::installDriver("DERMO.DLL")) std::abort();
        sim::SensorProfile profile = sim::defaultProfile();
        profile.driverKeyValues = {{"MaxBulkReadSize", std::uint32_t{kChunk}}};
        sim::writeDriverKeyValues(profile);
        r->driven = std::make_shared<sim::Sensor>(profile);
        if (!host::usb::plug(r->driven).attached) std::abort();
        r->drx = CreateFileW(u"DRX1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                             nullptr);
        setStreamMode(r->drx);

        USB_DRIVER_SETTINGS settings{sizeof settings, 0x1A2B,      kBaselineProduct, USB_NO_INFO,
                                     USB_NO_INFO,     USB_NO_INFO, USB_NO_INFO,      USB_NO_INFO,
                                     USB_NO_INFO,     USB_NO_INFO};
        RegisterClientDriverID(u"BulkBenchClient");
        RegisterClientSettings(u"BULK_BENCH_CLIENT.DLL", u"BulkBenchClient", nullptr, &settings);
        host::devices::setLibraryDirectory(BENCH_CLIENT_DIR);
        sim::SensorProfile bare = sim::defaultProfile();
        bare.productId = kBaselineProduct;
        r->baseline = std::make_shared<sim::Sensor>(bare);
        if (!host::usb::plug(r->baseline).attached) std::abort();
        r->client = BulkClientAttached();
        if (r->client == nullptr) std::abort();
        const USB_DEVICE_REQUEST setup{0x40, reg::kVendorSingle, reg::kModeStream, reg::kControl,
                                       0};
        const USB_TRANSFER transfer = r->client->funcs->lpIssueVendorTransfer(
            r->client->device, nullptr, nullptr, 0, &setup, nullptr, 0);
        r->client->funcs->lpCloseTransfer(transfer);
        r->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        return r;
    }();
    return *built;
}

// The sensor behind the emulated node, DRX2:; null outside umockdev-wrapper.
struct LibusbRig {
    std::shared_ptr<sim::Sensor> sensor;
    std::unique_ptr<sim::UsbfsDevice> usbfs;
    std::unique_ptr<host::libusb::Host> host;
    HANDLE drx = INVALID_HANDLE_VALUE;
};

LibusbRig* libusbRig() {
    static LibusbRig* built = []() -> LibusbRig* {
        const char* preload = std::getenv("LD_PRELOAD");
        if (preload == nullptr || std::strstr(preload, "umockdev") == nullptr) return nullptr;
        rig();  // DRX1: and the driver key; it leaves the bare client's library directory
        host::devices::setLibraryDirectory(DERMO_LIBRARY_DIR);
        auto* r = new LibusbRig;
        r->sensor = std::make_shared<sim::Sensor>(sim::defaultProfile());
        r->usbfs = std::make_unique<sim::UsbfsDevice>(r->sensor);
        std::string error;
        if (!r->usbfs->add(umockdev_testbed_new(), 1, error)) std::abort();
        r->host = host::libusb::Host::start({0x1A2B, 0x0101}, error);
        if (!r->host || !r->host->waitForDevices(1, 5000)) std::abort();
        r->drx = CreateFileW(u"DRX2:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                             nullptr);
        setStreamMode(r->drx);
        return r;
    }();
    return built;
}

DWORD CALLBACK setEvent(LPVOID event) {
    SetEvent(static_cast<HANDLE>(event));
    return 0;
}

void readAll(benchmark::State& state, HANDLE drx) {
    std::vector<BYTE> buffer(kReadSize);
    for (auto _ : state) {
        DWORD done = 0;
        if (!ReadFile(drx, buffer.data(), kReadSize, &done, nullptr) || done != kReadSize)
            state.SkipWithError("read failed");
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kReadSize);
}

void readThroughDriver(benchmark::State& state, sim::BulkRate rate) {
    Rig& r = rig();
    r.driven->setRate(rate);
    readAll(state, r.drx);
    r.driven->setRate(sim::BulkRate::Unpaced);
}

void DermoReadThroughLibusb(benchmark::State& state) {
    LibusbRig* r = libusbRig();
    if (r == nullptr) {
        state.SkipWithError("run under umockdev-wrapper");
        return;
    }
    readAll(state, r->drx);
}

void DermoRead(benchmark::State& state) {
    readThroughDriver(state, sim::BulkRate::Unpaced);
}

void DirectTransfers(benchmark::State& state) {
    Rig& r = rig();
    const USB_FUNCS& usb = *r.client->funcs;
    std::vector<BYTE> buffer(kReadSize);
    for (auto _ : state) {
        for (DWORD done = 0; done < kReadSize;) {
            ResetEvent(r.event);
            const USB_TRANSFER transfer = usb.lpIssueBulkTransfer(
                r.client->bulkIn, setEvent, r.event, USB_IN_TRANSFER | USB_SHORT_TRANSFER_OK,
                kChunk, buffer.data() + done, 0);
            WaitForSingleObject(r.event, INFINITE);
            DWORD bytes = 0;
            DWORD status = 0;
            usb.lpGetTransferStatus(transfer, &bytes, &status);
            usb.lpCloseTransfer(transfer);
            done += bytes;
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kReadSize);
}

void DermoReadHighSpeed(benchmark::State& state) {
    readThroughDriver(state, sim::BulkRate::HighSpeed);
    // Bytes moved in units of the bus rate, per second of the run: 1 is the full bus rate.
    state.counters["of_bus_rate"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kReadSize /
                               sim::bytesPerSecond(sim::BulkRate::HighSpeed),
                           benchmark::Counter::kIsRate);
}

BENCHMARK(DermoRead)->Name("dermo_read/subject")->UseRealTime();
BENCHMARK(DirectTransfers)->Name("dermo_read/baseline")->UseRealTime();
BENCHMARK(DermoReadHighSpeed)->Name("dermo_read_high_speed")->UseRealTime();
BENCHMARK(DermoReadThroughLibusb)->Name("dermo_libusb_read/subject")->UseRealTime();
BENCHMARK(DermoRead)->Name("dermo_libusb_read/baseline")->UseRealTime();

}  // namespace
