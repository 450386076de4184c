// The power manager's notification side: registrations of message queues, and the broadcast
// of POWER_BROADCAST records into them.
#include <host/power.h>

#include <chrono>
#include <cstring>

#include "power/message_queue.h"

namespace ce::power {
namespace {

// One RequestPowerNotifications: a write end on the caller's queue and the Message bits it
// asked for. Its handle is what StopPowerNotifications takes.
class Registration final : public kernel::Object {
  public:
    Registration(std::shared_ptr<QueueEnd> writer, DWORD mask)
        : writer_(std::move(writer)), mask_(mask) {}

    bool wants(DWORD message) const { return (mask_ & message) != 0; }
    bool deliver(const void* record, DWORD length) {
        return writer_->write(record, length, 0, 0) != FALSE;
    }
    bool waitUntilRead(std::chrono::steady_clock::time_point deadline) const {
        return waitUntilDrained(*writer_, deadline);
    }

  private:
    const std::shared_ptr<QueueEnd> writer_;
    const DWORD mask_;
};

struct Registrations {
    std::mutex lock;
    std::vector<std::weak_ptr<Registration>> all;
};

Registrations& registrations() {
    static auto* instance = new Registrations;
    return *instance;
}

std::vector<std::shared_ptr<Registration>> liveRegistrations() {
    Registrations& r = registrations();
    std::lock_guard guard(r.lock);
    std::vector<std::shared_ptr<Registration>> live;
    std::erase_if(r.all, [&](const std::weak_ptr<Registration>& weak) {
        auto registration = weak.lock();
        if (!registration) return true;
        live.push_back(std::move(registration));
        return false;
    });
    return live;
}

}  // namespace
}  // namespace ce::power

extern "C" HANDLE WINAPI RequestPowerNotifications(HANDLE hMsgQ, DWORD Flags) {
    using namespace ce::power;
    auto queue = ce::kernel::lookupHandleAs<QueueEnd>(hMsgQ);
    if (!queue || Flags == 0) {
        SetLastError(queue ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return nullptr;
    }
    auto registration = std::make_shared<Registration>(openEnd(*queue, false), Flags);
    {
        Registrations& r = registrations();
        std::lock_guard guard(r.lock);
        r.all.push_back(registration);
    }
    return ce::kernel::insertHandle(std::move(registration));
}

extern "C" DWORD WINAPI StopPowerNotifications(HANDLE h) {
    if (!ce::kernel::lookupHandleAs<ce::power::Registration>(h)) return ERROR_INVALID_HANDLE;
    ce::kernel::closeHandle(h);
    return ERROR_SUCCESS;
}

namespace host::power {

std::size_t broadcast(const void* record, std::size_t length) {
    if (record == nullptr || length < offsetof(POWER_BROADCAST, SystemPowerState)) return 0;
    DWORD message;
    std::memcpy(&message, record, sizeof message);
    std::size_t delivered = 0;
    for (const auto& registration : ce::power::liveRegistrations()) {
        if (registration->wants(message) &&
            registration->deliver(record, static_cast<DWORD>(length))) {
            ++delivered;
        }
    }
    return delivered;
}

std::vector<std::uint8_t> makeRecord(DWORD message, DWORD flags) {
    POWER_BROADCAST header{};
    header.Message = message;
    header.Flags = flags;
    header.Length = 0;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&header);
    return {bytes, bytes + offsetof(POWER_BROADCAST, SystemPowerState)};
}

std::vector<std::uint8_t> makePowerInfoRecord(const POWER_BROADCAST_POWER_INFO& info, DWORD flags) {
    std::vector<std::uint8_t> record = makeRecord(PBT_POWERINFOCHANGE, flags);
    const DWORD length = sizeof info;
    std::memcpy(record.data() + offsetof(POWER_BROADCAST, Length), &length, sizeof length);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&info);
    record.insert(record.end(), bytes, bytes + sizeof info);
    return record;
}

bool waitUntilRead(DWORD timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool read = true;
    for (const auto& registration : ce::power::liveRegistrations())
        read = registration->waitUntilRead(deadline) && read;
    return read;
}

std::size_t registrationCount() {
    return ce::power::liveRegistrations().size();
}

}  // namespace host::power
