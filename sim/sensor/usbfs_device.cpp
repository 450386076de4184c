#include "sensor/usbfs_device.h"

#include <sys/ioctl.h>
// After sys/ioctl.h, which defines the macros it uses.
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

namespace sim {
namespace {

constexpr std::size_t kSetupSize = 8;
constexpr BYTE kRequestTypeMask = 0x60;

// What the kernel's usbfs reports of a URB's end, from the stack's USB error.
int urbStatus(DWORD usbError) {
    switch (usbError) {
        case USB_NO_ERROR:
            return 0;
        case USB_STALL_ERROR:
            return -EPIPE;
        case USB_DATA_OVERRUN_ERROR:
            return -EOVERFLOW;
        case USB_CANCELED_ERROR:
            return -ENOENT;
        default:
            return -EPROTO;
    }
}

struct Urb;
using UrbPtr = std::shared_ptr<Urb>;

// A standard request with no data stage.
USB_DEVICE_REQUEST standard(BYTE recipient, BYTE request, unsigned value, unsigned index) {
    USB_DEVICE_REQUEST setup{};
    setup.bmRequestType = static_cast<BYTE>(USB_REQUEST_STANDARD | recipient);
    setup.bRequest = request;
    setup.wValue = static_cast<USHORT>(value);
    setup.wIndex = static_cast<USHORT>(index);
    return setup;
}

// An ioctl argument the handler keeps past the ioctl (a submitted URB and its buffer).
struct IoctlDataRef {
    explicit IoctlDataRef(UMockdevIoctlData* d) : data(d) {}
    ~IoctlDataRef() {
        if (data != nullptr) g_object_unref(data);
    }
    IoctlDataRef(const IoctlDataRef&) = delete;
    IoctlDataRef& operator=(const IoctlDataRef&) = delete;
    UMockdevIoctlData* data;
};

}  // namespace

struct UsbfsDevice::State : std::enable_shared_from_this<UsbfsDevice::State> {
    explicit State(std::shared_ptr<host::usb::DeviceModel> m)
        : model(std::move(m)), descriptors(model->descriptors()) {}

    void completeLocked(Urb& urb, std::span<const BYTE> data, int status);
    bool handle(UMockdevIoctlClient* client);
    void submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void control(const UrbPtr& urb);
    bool standardRequest(Urb& urb);
    // A control request the kernel makes for an ioctl (SET_INTERFACE, CLEAR_FEATURE); its
    // errno, 0 when the device took it.
    int kernelRequest(const USB_DEVICE_REQUEST& setup);

    const std::shared_ptr<host::usb::DeviceModel> model;
    const host::usb::Descriptors descriptors;
    UMockdevTestbed* testbed = nullptr;
    UMockdevIoctlBase* handler = nullptr;
    std::string node;
    std::string sysfsPath;

    mutable std::mutex lock;
    // Guarded by lock.
    bool gone = false;
    std::vector<UrbPtr> inFlight;  // submitted, not reaped
    std::deque<UrbPtr> completed;  // in the order they completed
};

namespace {

struct Urb final : host::usb::Request, std::enable_shared_from_this<Urb> {
    Urb(std::shared_ptr<UsbfsDevice::State> s, UMockdevIoctlData* u, UMockdevIoctlData* b)
        : state(std::move(s)), urbData(u), bufferData(b) {}

    host::usb::TransferType type() const override { return kind; }
    BYTE endpoint() const override { return address; }
    bool isIn() const override { return in; }
    const USB_DEVICE_REQUEST& setup() const override { return setupPacket; }
    DWORD length() const override { return size; }
    std::span<const BYTE> outData() const override { return out; }
    DWORD flags() const override { return transferFlags; }

    bool reply(std::span<const BYTE> data, DWORD usbError) override {
        std::lock_guard guard(state->lock);
        if (done) return false;
        int end = urbStatus(usbError);
        if (end == 0 && in && data.size() > size) end = -EOVERFLOW;
        state->completeLocked(*this, in ? data.first(std::min<std::size_t>(data.size(), size))
                                        : std::span<const BYTE>{},
                              end);
        if (!in) actual = static_cast<int>(std::min<std::size_t>(data.size(), size));
        return true;
    }
    bool accept(DWORD bytes, DWORD usbError) override {
        std::lock_guard guard(state->lock);
        if (done) return false;
        state->completeLocked(*this, {}, urbStatus(usbError));
        if (!in) actual = static_cast<int>(std::min<DWORD>(bytes, size));
        return true;
    }
    bool fail(DWORD usbError) override { return accept(0, usbError); }
    bool pending() const override {
        std::lock_guard guard(state->lock);
        return !done;
    }

    const std::shared_ptr<UsbfsDevice::State> state;
    const IoctlDataRef urbData;     // struct usbdevfs_urb
    const IoctlDataRef bufferData;  // its buffer
    host::usb::TransferType kind = host::usb::TransferType::Bulk;
    BYTE address = 0;
    bool in = false;
    USB_DEVICE_REQUEST setupPacket{};
    DWORD size = 0;
    std::vector<BYTE> out;
    DWORD transferFlags = 0;

    // Guarded by the state's lock.
    bool done = false;
    int status = 0;
    int actual = 0;
    std::vector<BYTE> inData;
};

usbdevfs_urb& urbOf(const Urb& urb) {
    return *reinterpret_cast<usbdevfs_urb*>(urb.urbData.data->data);
}

}  // namespace

void UsbfsDevice::State::completeLocked(Urb& urb, std::span<const BYTE> data, int status) {
    urb.done = true;
    urb.status = status;
    urb.inData.assign(data.begin(), data.end());
    urb.actual = static_cast<int>(data.size());
    completed.push_back(urb.shared_from_this());
}

bool UsbfsDevice::State::handle(UMockdevIoctlClient* client) {
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const auto word = [&]() -> unsigned {
        g_autoptr(UMockdevIoctlData) value = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
        return value ? *reinterpret_cast<unsigned*>(value->data) : 0;
    };
    const auto finish = [&](int error) {
        umockdev_ioctl_client_complete(client, error == 0 ? 0 : -1, error);
    };
    {
        std::lock_guard guard(lock);
        // A vanished device still has its URBs reaped and discarded, and its interfaces
        // released; everything else fails.
        if (gone && request != USBDEVFS_REAPURB && request != USBDEVFS_REAPURBNDELAY &&
            request != USBDEVFS_DISCARDURB && request != USBDEVFS_RELEASEINTERFACE) {
            finish(ENODEV);
            return true;
        }
    }
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            g_autoptr(UMockdevIoctlData) caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
            *reinterpret_cast<guint32*>(caps->data) =
                USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
            finish(0);
            return true;
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_DISCONNECT_CLAIM:  // no kernel driver to disconnect: a claim
        case USBDEVFS_RELEASEINTERFACE:
            finish(0);
            return true;
        case USBDEVFS_GETDRIVER:
            finish(ENODATA);  // no kernel driver has the interface
            return true;
        case USBDEVFS_SETINTERFACE: {
            g_autoptr(UMockdevIoctlData) value =
                umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_setinterface), nullptr);
            const auto& setting = *reinterpret_cast<usbdevfs_setinterface*>(value->data);
            finish(kernelRequest(standard(USB_REQUEST_FOR_INTERFACE, USB_REQUEST_SET_INTERFACE,
                                          setting.altsetting, setting.interface)));
            return true;
        }
        case USBDEVFS_CLEAR_HALT:
            finish(kernelRequest(standard(USB_REQUEST_FOR_ENDPOINT, USB_REQUEST_CLEAR_FEATURE,
                                          USB_FEATURE_ENDPOINT_STALL, word())));
            return true;
        case USBDEVFS_RESET:
            finish(model->disable(true, 0) ? 0 : EIO);
            return true;
        case USBDEVFS_SUBMITURB:
            submit(client, arg);
            return true;
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            reap(client, arg);
            return true;
        case USBDEVFS_DISCARDURB:
            discard(client, arg);
            return true;
        default:
            return false;  // umockdev fails it
    }
}

int UsbfsDevice::State::kernelRequest(const USB_DEVICE_REQUEST& setup) {
    auto urb = std::make_shared<Urb>(shared_from_this(), nullptr, nullptr);
    urb->kind = host::usb::TransferType::Control;
    urb->setupPacket = setup;
    control(urb);
    std::lock_guard guard(lock);
    // Not queued for reaping: the ioctl waits for the answer, which the model gives at once.
    std::erase(completed, urb);
    if (!urb->done) return ETIMEDOUT;
    return urb->status == 0 ? 0 : -urb->status;
}

void UsbfsDevice::State::submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    const usbdevfs_urb& raw = *reinterpret_cast<usbdevfs_urb*>(urbData->data);
    UMockdevIoctlData* bufferData =
        raw.buffer_length > 0
            ? umockdev_ioctl_data_resolve(urbData, G_STRUCT_OFFSET(usbdevfs_urb, buffer),
                                          static_cast<gsize>(raw.buffer_length), nullptr)
            : nullptr;
    auto urb = std::make_shared<Urb>(shared_from_this(), urbData, bufferData);
    const auto* bytes = bufferData ? bufferData->data : nullptr;
    const auto length = static_cast<std::size_t>(std::max(raw.buffer_length, 0));
    switch (raw.type) {
        case USBDEVFS_URB_TYPE_CONTROL:
            if (length < kSetupSize) {
                umockdev_ioctl_client_complete(client, -1, EINVAL);
                return;
            }
            urb->kind = host::usb::TransferType::Control;
            std::memcpy(&urb->setupPacket, bytes, kSetupSize);
            urb->in = (urb->setupPacket.bmRequestType & USB_REQUEST_DEVICE_TO_HOST) != 0;
            urb->size = std::min<DWORD>(urb->setupPacket.wLength,
                                        static_cast<DWORD>(length - kSetupSize));
            if (!urb->in) urb->out.assign(bytes + kSetupSize, bytes + kSetupSize + urb->size);
            break;
        case USBDEVFS_URB_TYPE_BULK:
        case USBDEVFS_URB_TYPE_INTERRUPT:
            urb->kind = raw.type == USBDEVFS_URB_TYPE_BULK ? host::usb::TransferType::Bulk
                                                           : host::usb::TransferType::Interrupt;
            urb->address = raw.endpoint;
            urb->in = (raw.endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0;
            urb->size = static_cast<DWORD>(length);
            if (!urb->in && bytes != nullptr) urb->out.assign(bytes, bytes + length);
            break;
        default:
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return;
    }
    if (urb->in) {
        urb->transferFlags = USB_IN_TRANSFER;
        if (!(raw.flags & USBDEVFS_URB_SHORT_NOT_OK)) urb->transferFlags |= USB_SHORT_TRANSFER_OK;
    }
    {
        std::lock_guard guard(lock);
        inFlight.push_back(urb);
    }
    umockdev_ioctl_client_complete(client, 0, 0);
    if (urb->kind == host::usb::TransferType::Control)
        control(urb);
    else
        model->transfer(urb);
}

void UsbfsDevice::State::control(const UrbPtr& urb) {
    if (!model->control(urb) && !standardRequest(*urb)) urb->fail(USB_STALL_ERROR);
}

// What a device answers to the standard requests the model leaves alone: its descriptors, a
// zero status, and any feature or interface setting it has.
bool UsbfsDevice::State::standardRequest(Urb& urb) {
    const USB_DEVICE_REQUEST& r = urb.setupPacket;
    if ((r.bmRequestType & kRequestTypeMask) != USB_REQUEST_STANDARD) return false;
    switch (r.bRequest) {
        case USB_REQUEST_GET_DESCRIPTOR: {
            const auto bytes = host::usb::descriptorBytes(
                descriptors, static_cast<BYTE>(r.wValue >> 8), static_cast<BYTE>(r.wValue));
            if (!bytes) return false;
            urb.reply(std::span(bytes->data(), std::min<std::size_t>(bytes->size(), r.wLength)),
                      USB_NO_ERROR);
            return true;
        }
        case USB_REQUEST_GET_STATUS: {
            const BYTE status[2] = {0, 0};
            urb.reply(status, USB_NO_ERROR);
            return true;
        }
        case USB_REQUEST_CLEAR_FEATURE:
        case USB_REQUEST_SET_FEATURE:
            urb.accept(0, USB_NO_ERROR);
            return true;
        case USB_REQUEST_SET_INTERFACE:
            for (const auto& setting : descriptors.configurations.front().interfaces)
                if (setting.descriptor.bInterfaceNumber == r.wIndex &&
                    setting.descriptor.bAlternateSetting == r.wValue) {
                    urb.accept(0, USB_NO_ERROR);
                    return true;
                }
            return false;
        default:
            return false;
    }
}

void UsbfsDevice::State::reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    UrbPtr urb;
    {
        std::lock_guard guard(lock);
        if (completed.empty()) {
            umockdev_ioctl_client_complete(client, -1, gone ? ENODEV : EAGAIN);
            return;
        }
        urb = completed.front();
        completed.pop_front();
        std::erase(inFlight, urb);
        usbdevfs_urb& raw = urbOf(*urb);
        raw.status = urb->status;
        raw.actual_length = urb->actual;
        if (!urb->inData.empty()) {
            const std::size_t offset = urb->kind == host::usb::TransferType::Control ? kSetupSize : 0;
            umockdev_ioctl_data_update(urb->bufferData.data, offset,
                                       const_cast<guint8*>(urb->inData.data()),
                                       static_cast<gint>(urb->inData.size()));
        }
    }
    g_autoptr(UMockdevIoctlData) slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), nullptr);
    umockdev_ioctl_data_set_ptr(slot, 0, urb->urbData.data);
    umockdev_ioctl_client_complete(client, 0, 0);
}

void UsbfsDevice::State::discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    const gulong address = *reinterpret_cast<const gulong*>(arg->data);
    UrbPtr urb;
    {
        std::lock_guard guard(lock);
        const auto it = std::find_if(inFlight.begin(), inFlight.end(), [&](const UrbPtr& u) {
            return u->urbData.data->client_addr == address;
        });
        // One that has completed already is reaped as it completed.
        if (it == inFlight.end() || (*it)->done) {
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return;
        }
        urb = *it;
        completeLocked(*urb, {}, -ENOENT);
    }
    umockdev_ioctl_client_complete(client, 0, 0);
    model->cancel(urb);
}

UsbfsDevice::UsbfsDevice(std::shared_ptr<host::usb::DeviceModel> model)
    : state_(std::make_shared<State>(std::move(model))) {}

UsbfsDevice::~UsbfsDevice() {
    if (state_->testbed != nullptr)
        umockdev_testbed_detach_ioctl(state_->testbed, state_->node.c_str(), nullptr);
    if (state_->handler != nullptr) g_object_unref(state_->handler);
}

namespace {

using SharedState = std::shared_ptr<UsbfsDevice::State>;

gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer state) {
    return (*static_cast<SharedState*>(state))->handle(client) ? TRUE : FALSE;
}

void releaseState(gpointer state, GClosure*) {
    delete static_cast<SharedState*>(state);
}

std::string hex(const std::vector<BYTE>& bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (BYTE b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 0xF];
    }
    return text;
}

}  // namespace

bool UsbfsDevice::add(UMockdevTestbed* testbed, unsigned bus, std::string& error) {
    const auto device = host::usb::descriptorBytes(state_->descriptors, USB_DEVICE_DESCRIPTOR_TYPE, 0);
    const auto configuration =
        host::usb::descriptorBytes(state_->descriptors, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0);
    if (!device || !configuration) {
        error = "the model's descriptors cannot describe a device";
        return false;
    }
    char busText[8];
    std::snprintf(busText, sizeof busText, "%03u", bus);
    state_->node = std::string("/dev/bus/usb/") + busText + "/001";
    state_->sysfsPath = "/sys/devices/usb" + std::to_string(bus);
    state_->handler = umockdev_ioctl_base_new();
    // The handler's own reference: umockdev's thread may still be in it when the adapter goes.
    g_signal_connect_data(state_->handler, "handle-ioctl", G_CALLBACK(onIoctl),
                          new SharedState(state_), releaseState, GConnectFlags{});
    GError* failure = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed, state_->node.c_str(), state_->handler, &failure)) {
        error = failure ? failure->message : "umockdev_testbed_attach_ioctl failed";
        g_clear_error(&failure);
        return false;
    }
    state_->testbed = testbed;
    const std::string record =
        "P: /devices/usb" + std::to_string(bus) + "\n" +
        "N: bus/usb/" + busText + "/001\n"
        "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n"
        "E: BUSNUM=" + busText + "\nE: DEVNUM=001\n"
        "E: DEVNAME=" + state_->node + "\n"
        "A: busnum=" + std::to_string(bus) + "\\n\nA: devnum=1\\n\n"
        "A: bConfigurationValue=1\\n\nA: speed=480\\n\n"
        "H: descriptors=" + hex(*device) + hex(*configuration) + "\n";
    if (!umockdev_testbed_add_from_string(testbed, record.c_str(), &failure)) {
        error = failure ? failure->message : "umockdev_testbed_add_from_string failed";
        g_clear_error(&failure);
        return false;
    }
    return true;
}

void UsbfsDevice::remove() {
    {
        std::lock_guard guard(state_->lock);
        state_->gone = true;
        for (const UrbPtr& urb : state_->inFlight)
            if (!urb->done) state_->completeLocked(*urb, {}, -ESHUTDOWN);
    }
    state_->model->unplugged();
    if (state_->testbed != nullptr)
        umockdev_testbed_uevent(state_->testbed, state_->sysfsPath.c_str(), "remove");
}

std::size_t UsbfsDevice::urbsInFlight() const {
    std::lock_guard guard(state_->lock);
    return state_->inFlight.size();
}

}  // namespace sim
