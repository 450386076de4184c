#include "sensor/sensor.h"

#include <algorithm>

#include "sensor/fingerprint.h"

namespace sim {
namespace {

namespace reg = registers;

// Bytes held for bulk IN at most: a write beyond it is refused with a stall.
constexpr std::size_t kLoopbackCapacity = 1 << 20;
constexpr BYTE kRequestTypeMask = 0x60;
constexpr BYTE kRecipientMask = 0x1F;

bool isReadOnly(std::size_t address) {
    return address < reg::kControl || (address >= reg::kWidth && address < reg::kSeed) ||
           (address >= reg::kImageSize && address < reg::kScratch);
}

void putLittleEndian(std::array<BYTE, reg::kCount>& file, BYTE address, std::uint32_t value,
                     int bytes) {
    for (int i = 0; i < bytes; ++i) file[address + i] = static_cast<BYTE>(value >> (8 * i));
}

std::uint32_t getLittleEndian(const std::array<BYTE, reg::kCount>& file, BYTE address, int bytes) {
    std::uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= std::uint32_t{file[address + i]} << (8 * i);
    return value;
}

}  // namespace

Sensor::Sensor(SensorProfile profile) : profile_(std::move(profile)) {
    registers_[reg::kChipId] = reg::kChipIdValue;
    registers_[reg::kRevision] = static_cast<BYTE>(profile_.release);
    putLittleEndian(registers_, reg::kWidth, profile_.imageWidth, 2);
    putLittleEndian(registers_, reg::kHeight, profile_.imageHeight, 2);
    putLittleEndian(registers_, reg::kSeed, profile_.imageSeed, 4);
    putLittleEndian(registers_, reg::kImageSize, profile_.imageWidth * profile_.imageHeight, 4);
    for (const auto& [name, arg] : profile_.faults) applyFault(faults_, name, arg);
    pacer_.setRate(profile_.rate);
}

host::usb::Descriptors Sensor::descriptors() {
    std::vector<host::usb::Interface> interfaces;
    for (const SensorInterface& setting : profile_.interfaces) {
        std::vector<host::usb::Endpoint> endpoints;
        for (const SensorEndpoint& e : setting.endpoints)
            endpoints.push_back(
                host::usb::endpoint(e.address, e.type, e.maxPacketSize, e.interval));
        host::usb::Interface interface = host::usb::interfaceSetting(
            setting.number, setting.alternateSetting, setting.interfaceClass, std::move(endpoints));
        interface.descriptor.bInterfaceSubClass = setting.interfaceSubClass;
        interface.descriptor.bInterfaceProtocol = setting.interfaceProtocol;
        interfaces.push_back(std::move(interface));
    }
    host::usb::Descriptors descriptors = host::usb::device(profile_.vendorId, profile_.productId,
                                                           profile_.release, std::move(interfaces));
    // String n is strings[n - 1]; an empty text has no descriptor.
    const std::pair<const std::string*, UCHAR*> strings[] = {
        {&profile_.manufacturer, &descriptors.device.iManufacturer},
        {&profile_.product, &descriptors.device.iProduct},
        {&profile_.serialNumber, &descriptors.device.iSerialNumber}};
    for (const auto& [text, index] : strings) {
        if (text->empty()) continue;
        descriptors.strings.emplace_back(text->begin(), text->end());
        *index = static_cast<UCHAR>(descriptors.strings.size());
    }
    return descriptors;
}

bool Sensor::setFault(const std::string& name, std::optional<std::uint32_t> arg) {
    std::lock_guard guard(lock_);
    return applyFault(faults_, name, arg);
}

bool Sensor::control(const host::usb::RequestPtr& request) {
    const USB_DEVICE_REQUEST& setup = request->setup();
    std::lock_guard guard(lock_);
    if (faults_.haltDefault > 0) {
        --faults_.haltDefault;
        request->fail(USB_STALL_ERROR);
        return true;
    }
    const BYTE type = setup.bmRequestType & kRequestTypeMask;
    if (type == USB_REQUEST_STANDARD && setup.bRequest == USB_REQUEST_SET_INTERFACE)
        alternateSetting_ = setup.wValue;
    if (type == USB_REQUEST_STANDARD && setup.bRequest == USB_REQUEST_CLEAR_FEATURE &&
        (setup.bmRequestType & kRecipientMask) == USB_REQUEST_FOR_ENDPOINT) {
        ++clearHalts_;
        if (faults_.recoveryFails > 0) {
            --faults_.recoveryFails;
            request->fail(USB_STALL_ERROR);
            return true;
        }
    }
    if (type == USB_REQUEST_VENDOR) return vendorLocked(request);
    return false;  // the stack answers the standard requests from the descriptors
}

bool Sensor::vendorLocked(const host::usb::RequestPtr& request) {
    const USB_DEVICE_REQUEST& setup = request->setup();
    const std::size_t first = setup.wIndex;
    bool ok =
        first < reg::kCount && ((setup.bRequest == reg::kVendorSingle && setup.wLength <= 1) ||
                                setup.bRequest == reg::kVendorBlock);
    if (ok && request->isIn()) {
        std::vector<BYTE> values;
        ok = readRegistersLocked(first, setup.wLength, values);
        if (ok) request->reply(values);
    } else if (ok) {
        std::vector<BYTE> values(request->outData().begin(), request->outData().end());
        // A single write without data carries its value in wValue.
        if (setup.bRequest == reg::kVendorSingle && values.empty())
            values.push_back(static_cast<BYTE>(setup.wValue));
        ok = writeRegistersLocked(first, values);
        if (ok) request->accept(static_cast<DWORD>(request->outData().size()));
    }
    if (!ok) request->fail(USB_STALL_ERROR);
    serveReadsLocked();
    return true;
}

bool Sensor::readRegistersLocked(std::size_t first, std::size_t count,
                                 std::vector<BYTE>& out) const {
    if (first + count > reg::kCount) return false;
    out.assign(registers_.begin() + first, registers_.begin() + first + count);
    return true;
}

bool Sensor::writeRegistersLocked(std::size_t first, std::span<const BYTE> values) {
    if (first + values.size() > reg::kCount) return false;
    for (std::size_t i = 0; i < values.size(); ++i)
        if (isReadOnly(first + i)) return false;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::size_t address = first + i;
        if (address == reg::kControl)
            setModeLocked(values[i]);
        else
            registers_[address] = values[i];
    }
    return true;
}

void Sensor::setModeLocked(BYTE mode) {
    registers_[reg::kControl] = mode;
    registers_[reg::kStatus] = 0;
    image_.clear();
    imageOffset_ = 0;
    if (mode == reg::kModeCapture) {
        image_ = fingerprintImage(getLittleEndian(registers_, reg::kWidth, 2),
                                  getLittleEndian(registers_, reg::kHeight, 2),
                                  getLittleEndian(registers_, reg::kSeed, 4));
        registers_[reg::kStatus] = reg::kStatusImageReady;
    } else if (mode == reg::kModeStream) {
        registers_[reg::kStatus] = reg::kStatusStreaming;
    }
}

Sensor::Fate Sensor::fateLocked(const host::usb::Request& request) {
    const bool in = request.isIn();
    if (faults_.unplugInTransfer) {
        faults_.unplugInTransfer = false;
        return Fate::Unplug;
    }
    if (in ? faults_.haltIn : faults_.haltOut) return Fate::Stall;
    std::uint32_t& stalls = in ? faults_.stallIn : faults_.stallOut;
    if (stalls > 0) {
        --stalls;
        return Fate::Stall;
    }
    std::uint32_t& timeouts = in ? faults_.timeoutIn : faults_.timeoutOut;
    if (timeouts > 0) {
        --timeouts;
        return Fate::Hold;
    }
    return Fate::Serve;
}

void Sensor::transfer(const host::usb::RequestPtr& request) {
    if (request->type() != host::usb::TransferType::Bulk) {
        request->fail(USB_STALL_ERROR);
        return;
    }
    ++bulkTransfers_;
    std::unique_lock lock(lock_);
    switch (fateLocked(*request)) {
        case Fate::Stall:
            request->fail(USB_STALL_ERROR);
            return;
        case Fate::Hold:
            held_.push_back(request);
            return;
        case Fate::Unplug:
            held_.push_back(request);
            lock.unlock();
            // The stack ends the held transfer as a device that stopped responding.
            host::usb::unplug(deviceId_);
            return;
        case Fate::Serve:
            break;
    }
    if (request->isIn()) {
        pendingReads_.push_back(request);
    } else {
        const auto data = request->outData();
        if (loopback_.size() + data.size() > kLoopbackCapacity) {
            request->fail(USB_STALL_ERROR);
            return;
        }
        loopback_.insert(loopback_.end(), data.begin(), data.end());
        pacer_.complete(request, {}, static_cast<DWORD>(data.size()));
    }
    serveReadsLocked();
}

bool Sensor::hasInDataLocked() const {
    switch (registers_[reg::kControl]) {
        case reg::kModeCapture:
            return imageOffset_ < image_.size();
        case reg::kModeStream:
            return true;
        default:
            return !loopback_.empty();
    }
}

std::vector<BYTE> Sensor::takeInDataLocked(std::size_t length) {
    std::vector<BYTE> data;
    switch (registers_[reg::kControl]) {
        case reg::kModeCapture: {
            const std::size_t size = std::min(length, image_.size() - imageOffset_);
            data.assign(image_.begin() + imageOffset_, image_.begin() + imageOffset_ + size);
            imageOffset_ += size;
            if (imageOffset_ == image_.size()) setModeLocked(reg::kModeIdle);
            break;
        }
        case reg::kModeStream:
            data.resize(length);
            for (BYTE& byte : data) byte = streamCounter_++;
            break;
        default: {
            const std::size_t size = std::min(length, loopback_.size());
            data.assign(loopback_.begin(), loopback_.begin() + size);
            loopback_.erase(loopback_.begin(), loopback_.begin() + size);
            break;
        }
    }
    return data;
}

void Sensor::serveReadsLocked() {
    while (!pendingReads_.empty()) {
        const host::usb::RequestPtr read = pendingReads_.front();
        if (!read->pending()) {
            pendingReads_.pop_front();
            continue;
        }
        std::size_t length = read->length();
        if (faults_.zeroLengthIn > 0) {
            --faults_.zeroLengthIn;
            length = 0;
        } else if (faults_.shortIn) {
            length = std::min<std::size_t>(length, *faults_.shortIn);
            faults_.shortIn.reset();
        } else if (!hasInDataLocked()) {
            return;  // waits for data (a write in loopback, a capture)
        }
        pendingReads_.pop_front();
        pacer_.complete(read, takeInDataLocked(length), 0);
    }
}

bool Sensor::suspend(BYTE) {
    ++suspends_;
    suspended_ = true;
    return true;
}

bool Sensor::resume(BYTE) {
    ++resumes_;
    suspended_ = false;
    return true;
}

bool Sensor::disable(bool reset, BYTE) {
    if (!reset) return true;
    ++resets_;
    std::lock_guard guard(lock_);
    faults_.haltIn = false;
    faults_.haltOut = false;
    return true;
}

std::size_t Sensor::completeHeldTransfers() {
    std::vector<host::usb::RequestPtr> held;
    {
        std::lock_guard guard(lock_);
        held.swap(held_);
    }
    std::size_t taken = 0;
    for (const auto& request : held) {
        const std::vector<BYTE> data(request->isIn() ? request->length() : 0, 0xEE);
        if (request->isIn() ? request->reply(data) : request->accept(request->length())) ++taken;
    }
    return taken;
}

std::size_t Sensor::heldTransfers() {
    std::lock_guard guard(lock_);
    return static_cast<std::size_t>(
        std::count_if(held_.begin(), held_.end(), [](const auto& r) { return r->pending(); }));
}

void Sensor::unplugged() {
    pacer_.drop();
    std::lock_guard guard(lock_);
    pendingReads_.clear();
    held_.clear();
}

}  // namespace sim
