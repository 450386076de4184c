#include "libusb_device.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

namespace host::libusb {
namespace {

constexpr unsigned kStringLanguage = 0x0409;
constexpr unsigned kStringTimeoutMs = 1000;
constexpr BYTE kRequestTypeMask = 0x60;
constexpr BYTE kRecipientMask = 0x1F;

// What a transfer carries back to its completion.
struct InFlight {
    LibusbDevice* device;
    host::usb::RequestPtr request;
};

std::vector<BYTE> bytesOf(const unsigned char* data, int length) {
    return length > 0 ? std::vector<BYTE>(data, data + length) : std::vector<BYTE>{};
}

USB_ENDPOINT_DESCRIPTOR endpointOf(const libusb_endpoint_descriptor& e) {
    USB_ENDPOINT_DESCRIPTOR d{};
    d.bEndpointAddress = e.bEndpointAddress;
    d.bmAttributes = e.bmAttributes;
    d.wMaxPacketSize = e.wMaxPacketSize;
    d.bInterval = e.bInterval;
    return d;
}

USB_INTERFACE_DESCRIPTOR interfaceOf(const libusb_interface_descriptor& i) {
    USB_INTERFACE_DESCRIPTOR d{};
    d.bInterfaceNumber = i.bInterfaceNumber;
    d.bAlternateSetting = i.bAlternateSetting;
    d.bInterfaceClass = i.bInterfaceClass;
    d.bInterfaceSubClass = i.bInterfaceSubClass;
    d.bInterfaceProtocol = i.bInterfaceProtocol;
    d.iInterface = i.iInterface;
    return d;
}

host::usb::Configuration configurationOf(const libusb_config_descriptor& c) {
    host::usb::Configuration configuration;
    configuration.descriptor.bConfigurationValue = c.bConfigurationValue;
    configuration.descriptor.iConfiguration = c.iConfiguration;
    configuration.descriptor.bmAttributes = c.bmAttributes;
    configuration.descriptor.MaxPower = c.MaxPower;
    configuration.extended = bytesOf(c.extra, c.extra_length);
    for (int n = 0; n < c.bNumInterfaces; ++n) {
        const libusb_interface& group = c.interface[n];
        for (int a = 0; a < group.num_altsetting; ++a) {
            const libusb_interface_descriptor& i = group.altsetting[a];
            host::usb::Interface setting;
            setting.descriptor = interfaceOf(i);
            setting.extended = bytesOf(i.extra, i.extra_length);
            for (int e = 0; e < i.bNumEndpoints; ++e)
                setting.endpoints.push_back(
                    {endpointOf(i.endpoint[e]), bytesOf(i.endpoint[e].extra, i.endpoint[e].extra_length)});
            configuration.interfaces.push_back(std::move(setting));
        }
    }
    return configuration;
}

USB_DEVICE_DESCRIPTOR deviceOf(const libusb_device_descriptor& d) {
    USB_DEVICE_DESCRIPTOR device{};
    device.bcdUSB = d.bcdUSB;
    device.bDeviceClass = d.bDeviceClass;
    device.bDeviceSubClass = d.bDeviceSubClass;
    device.bDeviceProtocol = d.bDeviceProtocol;
    device.bMaxPacketSize0 = d.bMaxPacketSize0;
    device.idVendor = d.idVendor;
    device.idProduct = d.idProduct;
    device.bcdDevice = d.bcdDevice;
    device.iManufacturer = d.iManufacturer;
    device.iProduct = d.iProduct;
    device.iSerialNumber = d.iSerialNumber;
    return device;
}

// GET_DESCRIPTOR(STRING) that waits for its end; the bytes it got, or -1. Not libusb's own
// synchronous call: in 1.0.26 the thread waiting there may free the transfer while the event
// thread still holds the transfer's lock. Here the end is handed over under a lock of our own.
int readString(libusb_device_handle* handle, unsigned index, unsigned char* out, int size) {
    struct Wait {
        std::mutex lock;
        std::condition_variable changed;
        bool done = false;
    } wait;
    std::vector<unsigned char> buffer(LIBUSB_CONTROL_SETUP_SIZE + static_cast<std::size_t>(size));
    libusb_fill_control_setup(buffer.data(), LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                              static_cast<uint16_t>(LIBUSB_DT_STRING << 8 | index),
                              kStringLanguage, static_cast<uint16_t>(size));
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    const libusb_transfer_cb_fn ended = [](libusb_transfer* t) {
        auto* w = static_cast<Wait*>(t->user_data);
        std::lock_guard guard(w->lock);
        w->done = true;
        w->changed.notify_all();
    };
    libusb_fill_control_transfer(transfer, handle, buffer.data(), ended, &wait, kStringTimeoutMs);
    int length = -1;
    if (libusb_submit_transfer(transfer) == 0) {
        std::unique_lock lock(wait.lock);
        wait.changed.wait(lock, [&] { return wait.done; });
        if (transfer->status == LIBUSB_TRANSFER_COMPLETED) length = transfer->actual_length;
    }
    libusb_free_transfer(transfer);
    if (length > 0) std::memcpy(out, buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, static_cast<std::size_t>(length));
    return length;
}

// String descriptors 1 to the highest index the device and configuration name; one the device
// cannot give stays empty.
std::vector<std::u16string> readStrings(libusb_device_handle* handle, const USB_DEVICE_DESCRIPTOR& d,
                                        const host::usb::Configuration& c) {
    unsigned highest = std::max({d.iManufacturer, d.iProduct, d.iSerialNumber,
                                 c.descriptor.iConfiguration});
    for (const auto& setting : c.interfaces)
        highest = std::max<unsigned>(highest, setting.descriptor.iInterface);
    std::vector<std::u16string> strings(highest);
    for (unsigned index = 1; index <= highest; ++index) {
        unsigned char raw[255];
        const int length = readString(handle, index, raw, sizeof raw);
        for (int at = 2; at + 1 < length; at += 2)
            strings[index - 1] += static_cast<char16_t>(raw[at] | raw[at + 1] << 8);
    }
    return strings;
}

// The stack's USB error for how a libusb transfer ended.
DWORD usbErrorOfStatus(libusb_transfer_status status) {
    switch (status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return USB_NO_ERROR;
        case LIBUSB_TRANSFER_STALL:
            return USB_STALL_ERROR;
        case LIBUSB_TRANSFER_OVERFLOW:
            return USB_DATA_OVERRUN_ERROR;
        case LIBUSB_TRANSFER_CANCELLED:
            return USB_CANCELED_ERROR;
        case LIBUSB_TRANSFER_TIMED_OUT:
            return USB_NOT_COMPLETE_ERROR;
        default:  // LIBUSB_TRANSFER_ERROR, LIBUSB_TRANSFER_NO_DEVICE
            return USB_DEVICE_NOT_RESPONDING_ERROR;
    }
}

}  // namespace

std::shared_ptr<LibusbDevice> LibusbDevice::open(libusb_device* device, std::string& error) {
    libusb_device_descriptor descriptor{};
    libusb_get_device_descriptor(device, &descriptor);
    libusb_device_handle* handle = nullptr;
    int r = libusb_open(device, &handle);
    if (r != 0) {
        error = r == LIBUSB_ERROR_ACCESS
                    ? "access denied (see the README for a udev rule on /dev/bus/usb)"
                    : std::string("cannot open: ") + libusb_strerror(r);
        return nullptr;
    }
    libusb_config_descriptor* config = nullptr;
    r = libusb_get_active_config_descriptor(device, &config);
    if (r != 0) {
        libusb_close(handle);
        error = std::string("no active configuration: ") + libusb_strerror(r);
        return nullptr;
    }
    host::usb::Descriptors descriptors;
    descriptors.device = deviceOf(descriptor);
    descriptors.configurations.push_back(configurationOf(*config));
    libusb_free_config_descriptor(config);

    std::set<int> numbers;
    for (const auto& setting : descriptors.configurations.front().interfaces)
        numbers.insert(setting.descriptor.bInterfaceNumber);
    std::vector<int> claimed;
    for (int number : numbers) {
        r = libusb_claim_interface(handle, number);
        if (r != 0) {
            for (int n : claimed) libusb_release_interface(handle, n);
            libusb_close(handle);
            error = "cannot claim interface " + std::to_string(number) + ": " +
                    (r == LIBUSB_ERROR_BUSY ? std::string("another driver has it")
                                            : std::string(libusb_strerror(r)));
            return nullptr;
        }
        claimed.push_back(number);
    }
    descriptors.strings =
        readStrings(handle, descriptors.device, descriptors.configurations.front());
    return std::shared_ptr<LibusbDevice>(
        new LibusbDevice(handle, std::move(descriptors), std::move(claimed)));
}

LibusbDevice::LibusbDevice(libusb_device_handle* handle, host::usb::Descriptors descriptors,
                           std::vector<int> interfaces)
    : handle_(handle), descriptors_(std::move(descriptors)), interfaces_(std::move(interfaces)) {}

LibusbDevice::~LibusbDevice() {
    close();
}

void LibusbDevice::onLost(LostHandler handler) {
    std::lock_guard guard(lock_);
    lostHandler_ = std::move(handler);
}

host::usb::Descriptors LibusbDevice::descriptors() {
    return descriptors_;
}

void LibusbDevice::lost() {
    if (lostReported_.exchange(true)) return;
    LostHandler handler;
    {
        std::lock_guard guard(lock_);
        handler = lostHandler_;
    }
    if (handler) handler();
}

DWORD LibusbDevice::usbErrorOf(int libusbError) {
    switch (libusbError) {
        case LIBUSB_SUCCESS:
            return USB_NO_ERROR;
        case LIBUSB_ERROR_PIPE:
            return USB_STALL_ERROR;
        case LIBUSB_ERROR_OVERFLOW:
            return USB_DATA_OVERRUN_ERROR;
        case LIBUSB_ERROR_NO_DEVICE:
        case LIBUSB_ERROR_NOT_FOUND:
            lost();
            return USB_DEVICE_NOT_RESPONDING_ERROR;
        default:
            return USB_DEVICE_NOT_RESPONDING_ERROR;
    }
}

bool LibusbDevice::control(const host::usb::RequestPtr& request) {
    const USB_DEVICE_REQUEST& setup = request->setup();
    // The kernel keeps the interface's setting and its endpoints: it must make the request.
    if ((setup.bmRequestType & kRequestTypeMask) == USB_REQUEST_STANDARD &&
        (setup.bmRequestType & kRecipientMask) == USB_REQUEST_FOR_INTERFACE &&
        setup.bRequest == USB_REQUEST_SET_INTERFACE) {
        const int r = libusb_set_interface_alt_setting(handle_, setup.wIndex, setup.wValue);
        if (r == 0)
            request->accept(0);
        else
            request->fail(usbErrorOf(r));
        return true;
    }
    const DWORD length = request->length();
    auto* buffer = static_cast<unsigned char*>(std::malloc(LIBUSB_CONTROL_SETUP_SIZE + length));
    libusb_fill_control_setup(buffer, setup.bmRequestType, setup.bRequest, setup.wValue,
                              setup.wIndex, static_cast<uint16_t>(length));
    const auto out = request->outData();
    if (!out.empty()) std::memcpy(buffer + LIBUSB_CONTROL_SETUP_SIZE, out.data(), out.size());
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    libusb_fill_control_transfer(transfer, handle_, buffer, completed, nullptr, 0);
    submit(request, transfer);
    return true;
}

void LibusbDevice::transfer(const host::usb::RequestPtr& request) {
    const DWORD length = request->length();
    auto* buffer = static_cast<unsigned char*>(std::malloc(std::max<DWORD>(length, 1)));
    const auto out = request->outData();
    if (!out.empty()) std::memcpy(buffer, out.data(), out.size());
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    const int size = static_cast<int>(length);
    if (request->type() == host::usb::TransferType::Interrupt)
        libusb_fill_interrupt_transfer(transfer, handle_, request->endpoint(), buffer, size,
                                       completed, nullptr, 0);
    else
        libusb_fill_bulk_transfer(transfer, handle_, request->endpoint(), buffer, size, completed,
                                  nullptr, 0);
    submit(request, transfer);
}

void LibusbDevice::submit(const host::usb::RequestPtr& request, libusb_transfer* transfer) {
    transfer->flags = LIBUSB_TRANSFER_FREE_BUFFER;
    transfer->user_data = new InFlight{this, request};
    int r = LIBUSB_ERROR_NO_DEVICE;
    {
        std::lock_guard guard(lock_);
        if (!closed_) {
            r = libusb_submit_transfer(transfer);
            if (r == 0) inFlight_[request.get()] = transfer;
        }
    }
    if (r == 0) return;
    delete static_cast<InFlight*>(transfer->user_data);
    libusb_free_transfer(transfer);
    request->fail(usbErrorOf(r));
}

void LIBUSB_CALL LibusbDevice::completed(libusb_transfer* transfer) {
    static_cast<InFlight*>(transfer->user_data)->device->finish(transfer);
}

void LibusbDevice::finish(libusb_transfer* transfer) {
    auto* inFlight = static_cast<InFlight*>(transfer->user_data);
    const host::usb::RequestPtr request = std::move(inFlight->request);
    delete inFlight;
    const DWORD usbError = usbErrorOfStatus(transfer->status);
    const bool control = transfer->type == LIBUSB_TRANSFER_TYPE_CONTROL;
    const unsigned char* data =
        control ? libusb_control_transfer_get_data(transfer) : transfer->buffer;
    const auto actual = static_cast<std::size_t>(std::max(transfer->actual_length, 0));
    if (request->isIn())
        request->reply(std::span(data, actual), usbError);
    else
        request->accept(static_cast<DWORD>(actual), usbError);
    if (transfer->status == LIBUSB_TRANSFER_NO_DEVICE) lost();
    {
        // Out of the list before it is freed, so that a cancel no longer finds it.
        std::lock_guard guard(lock_);
        inFlight_.erase(request.get());
        changed_.notify_all();
    }
    // The device may be gone from here on (close() waits only for the list).
    libusb_free_transfer(transfer);
}

void LibusbDevice::cancel(const host::usb::RequestPtr& request) {
    // The completion, with LIBUSB_TRANSFER_CANCELLED, frees it; a reply then does nothing.
    std::lock_guard guard(lock_);
    const auto it = inFlight_.find(request.get());
    if (it != inFlight_.end()) libusb_cancel_transfer(it->second);
}

bool LibusbDevice::resetPipe(BYTE endpoint) {
    // The default pipe clears itself at the next setup packet.
    if ((endpoint & USB_ENDPOINT_ADDRESS_MASK) == 0) return true;
    return usbErrorOf(libusb_clear_halt(handle_, endpoint)) == USB_NO_ERROR;
}

bool LibusbDevice::suspend(BYTE) {
    return true;
}

bool LibusbDevice::resume(BYTE) {
    return true;
}

bool LibusbDevice::disable(bool reset, BYTE) {
    if (!reset) return true;
    return usbErrorOf(libusb_reset_device(handle_)) == USB_NO_ERROR;
}

void LibusbDevice::unplugged() {
    close();
}

void LibusbDevice::close() {
    std::unique_lock lock(lock_);
    if (closed_) return;
    closed_ = true;
    for (const auto& [request, transfer] : inFlight_) libusb_cancel_transfer(transfer);
    changed_.wait(lock, [&] { return inFlight_.empty(); });
    lock.unlock();
    for (int number : interfaces_) libusb_release_interface(handle_, number);
    libusb_close(handle_);
}

}  // namespace host::libusb
