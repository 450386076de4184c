#include <host/libusb_host.h>
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "libusb_device.h"

namespace host::libusb {
namespace {

// Without hot-plug support in libusb the device list is compared this often.
constexpr auto kListPollInterval = std::chrono::seconds(1);

struct Event {
    bool arrived;
    libusb_device* device;  // one reference held
};

struct Plugged {
    libusb_device* device;  // one reference held
    host::usb::DeviceId id;
    bool left;  // libusb reported it gone; the stack may still be letting go of it
};

}  // namespace

struct Host::State {
    ~State();
    void runEvents();
    void runPlugging();
    void arrive(libusb_device* device);
    void leave(libusb_device* device);
    // The arrivals and departures since the last look, for a libusb without hot plug.
    void pollDeviceList();
    void post(bool arrived, libusb_device* device);
    bool matches(libusb_device* device) const;
    static int LIBUSB_CALL onHotplug(libusb_context*, libusb_device* device,
                                     libusb_hotplug_event event, void* state);

    Match match;
    libusb_context* context = nullptr;
    bool hotplug = false;
    libusb_hotplug_callback_handle callback = 0;
    std::thread events;
    std::thread plugging;

    mutable std::mutex lock;
    mutable std::condition_variable changed;
    // Guarded by lock.
    bool stopping = false;       // the plugging thread ends
    bool stoppingEvents = false;  // the event thread ends
    bool busy = false;           // the plugging thread is handling an event
    std::deque<Event> queue;
    std::vector<Plugged> plugged;
    std::vector<libusb_device*> listed;  // the last device list, without hot plug
    std::string lastOpenError;
};

bool Host::State::matches(libusb_device* device) const {
    libusb_device_descriptor d{};
    if (libusb_get_device_descriptor(device, &d) != 0) return false;
    return (!match.vendorId || *match.vendorId == d.idVendor) &&
           (!match.productId || *match.productId == d.idProduct);
}

void Host::State::post(bool arrived, libusb_device* device) {
    libusb_ref_device(device);
    std::lock_guard guard(lock);
    queue.push_back({arrived, device});
    changed.notify_all();
}

int LIBUSB_CALL Host::State::onHotplug(libusb_context*, libusb_device* device,
                                       libusb_hotplug_event event, void* state) {
    // Opening and plugging need the event thread, which is running this: the plugging thread
    // does them.
    static_cast<State*>(state)->post(event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, device);
    return 0;
}

void Host::State::runEvents() {
    for (;;) {
        {
            std::lock_guard guard(lock);
            if (stoppingEvents) return;
        }
        timeval tick{0, 100000};
        libusb_handle_events_timeout_completed(context, &tick, nullptr);
    }
}

void Host::State::pollDeviceList() {
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    std::vector<libusb_device*> now(list, list + std::max<ssize_t>(count, 0));
    std::vector<libusb_device*> before;
    {
        std::lock_guard guard(lock);
        before.swap(listed);
    }
    for (libusb_device* d : now)
        if (std::find(before.begin(), before.end(), d) == before.end()) post(true, d);
    for (libusb_device* d : before)
        if (std::find(now.begin(), now.end(), d) == now.end()) post(false, d);
    for (libusb_device* d : before) libusb_unref_device(d);
    for (libusb_device* d : now) libusb_ref_device(d);
    libusb_free_device_list(list, 1);
    std::lock_guard guard(lock);
    listed = std::move(now);
}

void Host::State::runPlugging() {
    std::unique_lock guard(lock);
    for (;;) {
        if (queue.empty()) {
            if (hotplug) {
                changed.wait(guard, [&] { return stopping || !queue.empty(); });
            } else if (!changed.wait_for(guard, kListPollInterval, [&] { return stopping; })) {
                guard.unlock();
                pollDeviceList();
                guard.lock();
            }
        }
        if (stopping) return;
        if (queue.empty()) continue;
        const Event event = queue.front();
        queue.pop_front();
        busy = true;
        guard.unlock();
        if (event.arrived)
            arrive(event.device);
        else
            leave(event.device);
        libusb_unref_device(event.device);
        guard.lock();
        busy = false;
        changed.notify_all();
    }
}

void Host::State::arrive(libusb_device* device) {
    if (!matches(device)) return;
    std::string error;
    const auto model = LibusbDevice::open(device, error);
    if (!model) {
        std::lock_guard guard(lock);
        lastOpenError = error;
        return;
    }
    const host::usb::PlugResult result = host::usb::plug(model);
    if (result.id == 0) return;
    libusb_ref_device(device);
    {
        std::lock_guard guard(lock);
        plugged.push_back({device, result.id, false});
    }
    // A transfer or reset that finds the device gone may come before libusb's departure.
    model->onLost([this, device] { leave(device); });
}

void Host::State::leave(libusb_device* device) {
    host::usb::DeviceId id = 0;
    {
        std::lock_guard guard(lock);
        const auto it = std::find_if(plugged.begin(), plugged.end(), [&](const Plugged& p) {
            return p.device == device && !p.left;
        });
        if (it == plugged.end()) return;
        it->left = true;
        id = it->id;
    }
    host::usb::unplug(id);
}

Host::State::~State() {
    if (context == nullptr) return;
    if (hotplug) libusb_hotplug_deregister_callback(context, callback);
    {
        std::lock_guard guard(lock);
        stopping = true;
        changed.notify_all();
    }
    if (plugging.joinable()) plugging.join();
    // The devices go while the event thread still returns their transfers; the stack closes
    // their handles as it lets go of them.
    for (const Plugged& p : plugged) {
        host::usb::unplug(p.id);
        host::usb::waitUnplugged(p.id);
        libusb_unref_device(p.device);
    }
    for (const Event& e : queue) libusb_unref_device(e.device);
    for (libusb_device* d : listed) libusb_unref_device(d);
    {
        std::lock_guard guard(lock);
        stoppingEvents = true;
    }
    libusb_interrupt_event_handler(context);
    if (events.joinable()) events.join();
    libusb_exit(context);
}

std::unique_ptr<Host> Host::start(const Match& match, std::string& error) {
    auto state = std::make_shared<State>();
    state->match = match;
    const int r = libusb_init(&state->context);
    if (r != 0) {
        state->context = nullptr;
        error = std::string("libusb cannot start: ") + libusb_strerror(r);
        return nullptr;
    }
    state->hotplug = libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0;
    state->events = std::thread([s = state.get()] { s->runEvents(); });
    if (state->hotplug) {
        // ENUMERATE reports the devices attached now through the same callback.
        libusb_hotplug_register_callback(
            state->context,
            static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                              LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
            LIBUSB_HOTPLUG_ENUMERATE, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
            LIBUSB_HOTPLUG_MATCH_ANY, State::onHotplug, state.get(), &state->callback);
    } else {
        state->pollDeviceList();
    }
    state->plugging = std::thread([s = state.get()] { s->runPlugging(); });
    {
        std::unique_lock guard(state->lock);
        state->changed.wait(guard, [&] { return state->queue.empty() && !state->busy; });
    }
    return std::unique_ptr<Host>(new Host(std::move(state)));
}

Host::Host(std::shared_ptr<State> state) : state_(std::move(state)) {}

Host::~Host() = default;

std::vector<host::usb::DeviceId> Host::devices() const {
    std::lock_guard guard(state_->lock);
    std::vector<host::usb::DeviceId> ids;
    for (const Plugged& p : state_->plugged)
        if (!p.left) ids.push_back(p.id);
    return ids;
}

bool Host::waitForDevices(std::size_t count, DWORD timeoutMs) const {
    std::unique_lock guard(state_->lock);
    return state_->changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                    [&] {
                                        return static_cast<std::size_t>(std::count_if(
                                                   state_->plugged.begin(), state_->plugged.end(),
                                                   [](const Plugged& p) { return !p.left; })) >=
                                               count;
                                    });
}

std::string Host::lastOpenError() const {
    std::lock_guard guard(state_->lock);
    return state_->lastOpenError;
}

}  // namespace host::libusb
