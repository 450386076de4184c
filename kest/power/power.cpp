// Switching the peripheral on and off through the power port: while "COM1:" is held open the
// peripheral is powered, and closing it switches the peripheral off. Both steps run on the
// manager thread only.
#include <kest.h>

#include <bit>
#include <memory>
#include <stdexcept>
#include <string>

#include "manager/device_manager.h"
#include "serial/com_port_discovery.h"
#include "serial/framed_port.h"

namespace kest {
namespace {

// How long after a power-off a power-on waits for the ports of that power to leave the registry.
constexpr DWORD kPortDepartureLimit = 2000;  // ms

// The leading decimal integer of the AKU text; 0 when it does not start with a digit.
// Saturates rather than wrapping, so no long run of digits reads as an old version.
unsigned akuMajorVersion(const std::string& aku) {
    constexpr unsigned kCeiling = 1000000;
    unsigned major = 0;
    for (char c : aku) {
        if (c < '0' || c > '9') break;
        major = major >= kCeiling ? kCeiling : major * 10 + static_cast<unsigned>(c - '0');
    }
    return major;
}

// From AKU 2 on the system keeps the peripheral's link through a suspend.
bool linkStaysOpen(const std::string& aku, bool systemSuspended) {
    return systemSuspended && akuMajorVersion(aku) >= 2;
}

// Closes the power port (the peripheral loses power), disconnects it and frees it. The field is
// cleared first, so that nothing can reach a port on its way out.
void discardPowerPort(DeviceManager& manager) {
    std::unique_ptr<FramedPort> port(manager.powerPort);
    manager.powerPort = nullptr;
    port->Close();
    port->RemoveMessageHandler(&manager, callback<&DeviceManager::forwardPortMessage>);
}

}  // namespace

int DeviceManager::powerOn() {
    if (powerPort != nullptr) return kStepDone;
    if (inCradle != 0) {
        reportStatus("Cannot power on KEST while in the cradle.");
        powerOff();
        return kStepInProgress;
    }
    if (!portsDeparted()) return kStepInProgress;
    try {
        reportStatus("Powering on KEST.");
        // Taken before the power port opens: the peripheral's data port may come up the moment
        // it has power, and must then read as new.
        portsBeforePowerOn = ActiveComPortMask();
        powerPort = new FramedPort();
        powerPort->AddMessageHandler(this, callback<&DeviceManager::forwardPortMessage>);
        setState(KEST_STATE_POWERED);
        if (!powerPort->Open()) throw std::runtime_error("Power port open failed");
        return kStepDone;
    } catch (...) {
        reportStatus("Exception on power on");
        // Discarded before the close, which so finds no power port and goes straight to 1.
        if (powerPort != nullptr) discardPowerPort(*this);
        closePeripheral();
        return kStepFailed;
    }
}

int DeviceManager::powerOff() {
    const std::string aku = readAkuVersion();
    reportStatus("OS Version: ");
    reportStatus(aku.c_str());
    const bool keepLink = linkStaysOpen(aku, systemSuspended != 0);
    if (!keepLink) closeMDPChannel();
    // Every power cycle discovers the data port afresh.
    dataPortName[0] = '\0';
    if (powerPort == nullptr) return kStepDone;

    setState(KEST_STATE_POWERING_OFF);
    try {
        if (!keepLink) {
            reportStatus("Powering off KEST.");
            departingPorts = ActiveComPortMask() & ~portsBeforePowerOn;
            powerOffTick = GetTickCount();
            discardPowerPort(*this);
        }
        activeFunction = 0;
        setState(KEST_STATE_POWERED_OFF);
        return kStepDone;
    } catch (int value) {
        reportFormatted("Error powering off: %d", value);
        return kStepFailed;
    } catch (const std::exception& error) {
        reportStatus("Error powering off: ");
        reportStatus(error.what());
        return kStepFailed;
    }
}

// A port of the peripheral leaves Drivers\Active only once its driver notices that the power
// has gone, which takes a while; the same port is back under the same number after the next
// power-on. A snapshot of the active ports taken before the old one has gone would count it as
// present before power-on, and so never find it. The wait is bounded: a port that stays longer
// is no longer taken for one of the peripheral's.
bool DeviceManager::portsDeparted() {
    if (departingPorts == 0) return true;
    const DWORD remaining = ActiveComPortMask() & departingPorts;
    if (remaining != 0 && GetTickCount() - powerOffTick < kPortDepartureLimit) {
        awaitingPortDeparture = true;
        return false;
    }
    if (remaining != 0) {
        reportFormatted("COM%d: still active after power-off.", std::countr_zero(remaining));
    }
    departingPorts = 0;
    return true;
}

}  // namespace kest
