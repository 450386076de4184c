// Requests sent to the peripheral. Each one goes out as a single frame of type 0, written whole;
// with the data channel closed (no data port) nothing is sent and nothing is reported.
#include "manager/device_manager.h"
#include "serial/frame.h"
#include "serial/framed_port.h"

namespace kest {
namespace {

constexpr BYTE kMessageFrameType = 0x00;
constexpr BYTE kVersionRequestCode = 0x01;
constexpr BYTE kFileDownloadRequestCode = 0x06;
constexpr BYTE kDataResponseCode = 0x09;
constexpr BYTE kActivatePeripheralCode = 0x0B;

// False when there is no data port to send on. The write's result is not looked at: a failed
// write is reported by the port itself.
template <int N>
bool sendMessage(FramedPort* port, const BYTE (&payload)[N]) {
    if (port == nullptr) return false;
    const Frame frame(kMessageFrameType, payload, N);
    port->SendFrame(frame);
    return true;
}

}  // namespace

void DeviceManager::sendActivatePeripheral(BYTE code) {
    const BYTE payload[] = {kActivatePeripheralCode, code, 0x00};
    if (sendMessage(dataPort.load(std::memory_order_acquire), payload)) {
        reportFormatted("Sent ActivatePeripheral(%d)", code);
    }
}

void DeviceManager::sendVersionRequest() {
    const BYTE payload[] = {kVersionRequestCode, 0x00};
    if (sendMessage(dataPort.load(std::memory_order_acquire), payload)) {
        reportStatus("Requesting version information ...");
    }
}

void DeviceManager::sendFileDownloadRequest() {
    const BYTE payload[] = {kFileDownloadRequestCode, 0x00};
    if (sendMessage(dataPort.load(std::memory_order_acquire), payload)) {
        reportStatus("Requesting calibration download ...");
    }
}

void DeviceManager::sendDataResponse(BYTE sequence, BYTE status) {
    const BYTE payload[] = {kDataResponseCode, sequence, status, 0x00};
    sendMessage(dataPort.load(std::memory_order_acquire), payload);
}

}  // namespace kest
