// Requests sent to the peripheral. Each one goes out as a single frame of type 0, written whole;
// with the data channel closed (no data port) nothing is sent and nothing is reported.
#include "manager/device_manager.h"
#include "serial/frame.h"
#include "serial/framed_port.h"

namespace kest {
namespace {

constexpr BYTE kMessageFrameType = 0x00;
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

}  // namespace kest
