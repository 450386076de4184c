#include "sensor/sensor_faults.h"

#include <functional>
#include <map>

namespace sim {
namespace {

using Apply = std::function<void(SensorFaults&, std::uint32_t)>;

const std::map<std::string, Apply>& table() {
    static const std::map<std::string, Apply> faults = {
        {"stall-in", [](SensorFaults& f, std::uint32_t n) { f.stallIn = n; }},
        {"stall-out", [](SensorFaults& f, std::uint32_t n) { f.stallOut = n; }},
        {"halt-in", [](SensorFaults& f, std::uint32_t n) { f.haltIn = n != 0; }},
        {"halt-out", [](SensorFaults& f, std::uint32_t n) { f.haltOut = n != 0; }},
        {"timeout-in", [](SensorFaults& f, std::uint32_t n) { f.timeoutIn = n; }},
        {"timeout-out", [](SensorFaults& f, std::uint32_t n) { f.timeoutOut = n; }},
        {"short-in", [](SensorFaults& f, std::uint32_t n) { f.shortIn = n; }},
        {"zero-length-in", [](SensorFaults& f, std::uint32_t n) { f.zeroLengthIn = n; }},
        {"halt-default", [](SensorFaults& f, std::uint32_t n) { f.haltDefault = n; }},
        {"recovery-fails", [](SensorFaults& f, std::uint32_t n) { f.recoveryFails = n; }},
        {"unplug-in-transfer",
         [](SensorFaults& f, std::uint32_t n) { f.unplugInTransfer = n != 0; }},
        {"clear", [](SensorFaults& f, std::uint32_t) { f = {}; }},
    };
    return faults;
}

}  // namespace

bool applyFault(SensorFaults& faults, const std::string& name, std::optional<std::uint32_t> arg) {
    const auto entry = table().find(name);
    if (entry == table().end()) return false;
    entry->second(faults, arg.value_or(name == "short-in" ? 0 : 1));
    return true;
}

const std::vector<std::string>& faultNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> list;
        for (const auto& [name, apply] : table()) list.push_back(name);
        return list;
    }();
    return names;
}

}  // namespace sim
