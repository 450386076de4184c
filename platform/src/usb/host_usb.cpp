// The host control API of the USB stack (<host/usb.h>).
#include <dlfcn.h>
#include <host/usb.h>

#include "kernel/loader.h"
#include "text/text.h"
#include "usb/client_attach.h"
#include "usb/stack.h"
#include "usb/usb_funcs.h"

namespace host::usb {
namespace {

// Loads the library, calls one of its exports and releases the library again.
template <class Fn, class... Args>
bool callExport(const std::string& dllName, const char* symbol, Args... args) {
    void* library = ce::usb::openClientLibrary(ce::text::toWide(dllName));
    if (library == nullptr) return false;
    // dlsym hands back an object pointer; the export has exactly this type.
    const auto entry = reinterpret_cast<Fn>(dlsym(library, symbol));
    if (entry == nullptr) SetLastError(ERROR_PROC_NOT_FOUND);
    const bool ok = entry != nullptr && entry(args...);
    ce::kernel::closeLibrary(library);
    return ok;
}

}  // namespace

std::optional<std::vector<BYTE>> descriptorBytes(const Descriptors& descriptors, BYTE type,
                                                 BYTE index) {
    const auto view = ce::usb::DeviceView::build(descriptors);
    if (!view) return std::nullopt;
    return view->descriptor(type, index);
}

PlugResult plug(std::shared_ptr<DeviceModel> model, const PlugOptions& options) {
    if (!model) return {};
    auto view = ce::usb::DeviceView::build(model->descriptors());
    if (!view) return {};
    auto& stack = ce::usb::Stack::instance();
    auto device =
        std::make_shared<ce::usb::Device>(stack.reserveId(), std::move(model), std::move(view),
                                          ce::usb::functionTable(options.suspend));
    const auto handle = reinterpret_cast<USB_HANDLE>(stack.devices.insert(device));
    stack.add(device);
    return device->attach(handle);
}

bool unplug(DeviceId id) {
    const auto device = ce::usb::Stack::instance().byId(id);
    return device && device->unplug();
}

bool waitUnplugged(DeviceId id, DWORD timeoutMs) {
    auto& stack = ce::usb::Stack::instance();
    const auto device = stack.byId(id);
    // A device that was plugged and is no longer listed is gone.
    if (!device) return stack.wasIssued(id);
    return device->waitGone(timeoutMs);
}

bool installDriver(const std::string& dllName) {
    const std::u16string file = ce::text::toWide(dllName);
    return callExport<LPUSB_INSTALL_DRIVER>(dllName, USB_INSTALL_DRIVER_PROCNAME, file.c_str());
}

bool uninstallDriver(const std::string& dllName) {
    return callExport<LPUSB_UNINSTALL_DRIVER>(dllName, USB_UNINSTALL_DRIVER_PROCNAME);
}

LiveObjects liveObjects() {
    auto& stack = ce::usb::Stack::instance();
    return {stack.deviceCount(), stack.pipes.size(), stack.transfers.size()};
}

}  // namespace host::usb
