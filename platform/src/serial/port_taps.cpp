#include "serial/port_taps.h"

#include <map>
#include <mutex>

#include "serial/com_device.h"

namespace ce::serial {
namespace {

struct TapSlot {
    std::shared_ptr<host::serial::PortTap> tap;
    std::weak_ptr<ComDevice> device;
};

// Taken before a device's lock, never while one is held.
struct TapTable {
    std::mutex lock;
    std::map<unsigned, TapSlot> slots;
};

TapTable& tapTable() {
    static auto* table = new TapTable;
    return *table;
}

}  // namespace

std::shared_ptr<host::serial::PortTap> enrolForTap(unsigned comNumber,
                                                   std::weak_ptr<ComDevice> device) {
    TapTable& t = tapTable();
    std::lock_guard guard(t.lock);
    TapSlot& slot = t.slots[comNumber];
    slot.device = std::move(device);
    return slot.tap;
}

void withdrawFromTap(unsigned comNumber, const ComDevice* device) {
    TapTable& t = tapTable();
    std::lock_guard guard(t.lock);
    const auto it = t.slots.find(comNumber);
    if (it == t.slots.end()) return;
    // A device of the same number may have come up since: only this one withdraws.
    if (const auto live = it->second.device.lock(); live && live.get() != device) return;
    it->second.device.reset();
    if (!it->second.tap) t.slots.erase(it);
}

}  // namespace ce::serial

void host::serial::attachTap(unsigned comNumber, std::shared_ptr<PortTap> tap) {
    using namespace ce::serial;
    TapTable& t = tapTable();
    std::lock_guard guard(t.lock);
    TapSlot& slot = t.slots[comNumber];
    slot.tap = tap;
    if (const auto device = slot.device.lock()) device->setTap(std::move(tap));
    else if (!slot.tap) t.slots.erase(comNumber);
}
