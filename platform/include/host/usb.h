// Host control API: the USB host stack.
//
// A device model (a class derived from DeviceModel) stands for the hardware: it presents its
// descriptors and answers the transfers that reach it. plug() connects a model; the stack then
// looks for a client driver the way the handheld does (HKEY_LOCAL_MACHINE\Drivers\USB\LoadClients,
// see <usbdi.h>), loads its library by the "DLL" value through the device manager's loader (the
// library directory of <host/devices.h>: "DERMO.DLL" is libdermo.so or dermo.so), and calls its
// USBDeviceAttach. unplug() disconnects the model: transfers still under way end with
// USB_DEVICE_NOT_RESPONDING_ERROR, and the client's notification routine is called with
// USB_CLOSE_DEVICE on a thread of the stack.
//
// Threads. The stack calls the model on the client's thread, from inside the USB_FUNCS entry the
// client called, and never with a lock of the stack held. A model may complete a Request there,
// later from any thread, or never: a Request is a shared object it may keep as long as it likes.
// Completion routines and the close notification run on threads of the stack.
//
// Buffers. A model never sees the client's buffers: OUT data is copied when the transfer is
// issued, and IN data is copied into the client's buffer by Request::reply, which does nothing
// once the transfer was cancelled or closed. So a model that completes late cannot write into a
// buffer the client has taken back.
#pragma once

#include <usbdi.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace host::usb {

// ---- What a device presents -------------------------------------------------------------

// The stack fills in every length, type and count field of the descriptors (bLength,
// bDescriptorType, wTotalLength, bNumInterfaces, bNumEndpoints, bNumConfigurations) from the
// lists, so a model only sets the fields that describe it.
struct Endpoint {
    USB_ENDPOINT_DESCRIPTOR descriptor{};
    std::vector<BYTE> extended;  // class or vendor descriptors that follow it
};

// One alternate setting of one interface.
struct Interface {
    USB_INTERFACE_DESCRIPTOR descriptor{};
    std::vector<Endpoint> endpoints;  // at most 30
    std::vector<BYTE> extended;
};

struct Configuration {
    USB_CONFIGURATION_DESCRIPTOR descriptor{};
    std::vector<Interface> interfaces;  // every alternate setting, in descriptor order
    std::vector<BYTE> extended;
};

struct Descriptors {
    USB_DEVICE_DESCRIPTOR device{};
    std::vector<Configuration> configurations;  // the first one is active; at least one
    // String descriptor n (n >= 1) is strings[n - 1]; descriptor 0 lists US English (0x0409).
    std::vector<std::u16string> strings;
};

Endpoint endpoint(BYTE address, BYTE type, WORD maxPacketSize, BYTE interval = 0);
Endpoint bulkIn(BYTE number, WORD maxPacketSize = 64);
Endpoint bulkOut(BYTE number, WORD maxPacketSize = 64);
Endpoint interruptIn(BYTE number, WORD maxPacketSize = 8, BYTE interval = 10);
Interface interfaceSetting(BYTE number, BYTE alternateSetting, BYTE interfaceClass,
                           std::vector<Endpoint> endpoints);
// A device with one configuration (value 1) holding the interfaces.
Descriptors device(WORD vendorId, WORD productId, WORD release, std::vector<Interface> interfaces);

// What a device with these descriptors sends for GET_DESCRIPTOR (type, index), lengths and
// counts filled in: the device descriptor, one configuration whole, a string descriptor. None if
// it has no such descriptor or the descriptors are unusable (see plug()).
std::optional<std::vector<BYTE>> descriptorBytes(const Descriptors& descriptors, BYTE type,
                                                 BYTE index);

// ---- One transfer as the device sees it ---------------------------------------------------

enum class TransferType { Control, Bulk, Interrupt };

class Request {
  public:
    virtual ~Request() = default;

    virtual TransferType type() const = 0;
    // The endpoint's address: 0 for the default pipe, bit 7 set for an IN endpoint.
    virtual BYTE endpoint() const = 0;
    // The direction of the data stage.
    virtual bool isIn() const = 0;
    // The setup packet of a control transfer; all zero for others.
    virtual const USB_DEVICE_REQUEST& setup() const = 0;
    // The buffer's size: the most an IN transfer takes, the size of an OUT transfer's data.
    virtual DWORD length() const = 0;
    // An OUT transfer's data, copied when it was issued; empty for IN.
    virtual std::span<const BYTE> outData() const = 0;
    // The USB_* transfer flags the client gave.
    virtual DWORD flags() const = 0;

    // Completes an IN transfer with this data (copied into the client's buffer; more than
    // length() bytes is cut and ends as USB_DATA_OVERRUN_ERROR) and USB error. On an OUT
    // transfer it is accept(min(data size, length())). False, and nothing happens, if the
    // transfer is no longer pending (completed, cancelled, closed or the device was unplugged).
    virtual bool reply(std::span<const BYTE> data, DWORD usbError = USB_NO_ERROR) = 0;
    // Completes an OUT transfer: the device took `bytes` of the data (at most length()).
    virtual bool accept(DWORD bytes, DWORD usbError = USB_NO_ERROR) = 0;
    // Completes the transfer with no data: USB_STALL_ERROR for a stall, and so on.
    virtual bool fail(DWORD usbError) = 0;

    virtual bool pending() const = 0;
};
using RequestPtr = std::shared_ptr<Request>;

// ---- The device model ---------------------------------------------------------------------

class DeviceModel {
  public:
    virtual ~DeviceModel() = default;

    // Read once, when the device is plugged.
    virtual Descriptors descriptors() = 0;

    // A control transfer on the default pipe: vendor and class requests, and the standard ones.
    // Return true if the model completes the request (now or later); false lets the stack answer
    // it as a conforming device would from descriptors(): GET_DESCRIPTOR, GET_STATUS,
    // GET/SET_INTERFACE (an alternate setting that exists), GET/SET_CONFIGURATION (the active
    // one), CLEAR/SET_FEATURE succeed, and every other request stalls. A model that only watches
    // returns false.
    virtual bool control(const RequestPtr& request);

    // A bulk or interrupt transfer on one of the endpoints. The default stalls it.
    virtual void transfer(const RequestPtr& request);

    // The stack has cancelled a request the model had not completed (AbortTransfer,
    // AbortPipeTransfers, CloseTransfer or ClosePipe): its reply() does nothing from now on, and a
    // model that passed it on somewhere may call that back. The default does nothing.
    virtual void cancel(const RequestPtr& request);

    // ResetPipe (endpoint address) or ResetDefaultPipe (0): the host's side of a halted pipe is
    // cleared. False keeps the pipe halted and fails the entry. The default succeeds.
    virtual bool resetPipe(BYTE endpoint);

    // Power of the device (SuspendDevice, ResumeDevice, DisableDevice); the result is the entry's.
    // The defaults succeed. A successful reset clears the halts of the device's pipes and its
    // alternate settings; the device is not enumerated again (the client keeps it).
    virtual bool suspend(BYTE interfaceNumber);
    virtual bool resume(BYTE interfaceNumber);
    virtual bool disable(bool reset, BYTE interfaceNumber);

    // Called once after unplug, when the stack no longer calls the model.
    virtual void unplugged() {}
};

// ---- Plugging -----------------------------------------------------------------------------

using DeviceId = std::uint32_t;

// Whether the USB_FUNCS table offers SuspendDevice and ResumeDevice, so that a client's handling
// of a stack without them can be tried.
enum class SuspendOffer {
    Offered,
    NullEntries,  // the entries are null; dwCount is the whole table
    ShortTable,   // dwCount stops before lpSuspendDevice, and the two entries are null
};

struct PlugOptions {
    SuspendOffer suspend = SuspendOffer::Offered;
};

struct PlugResult {
    DeviceId id = 0;        // 0 only if the descriptors were unusable
    bool attached = false;  // a client driver took the device
    std::string driverId;   // the client's driver id, when attached
    std::string loadKey;    // its LoadClients key below HKEY_LOCAL_MACHINE, when attached
};

// Connects the model. The client search and USBDeviceAttach run on a thread of the stack;
// plug() returns when they have finished. Clients are tried from the most specific LoadClients
// key to the least: group 1 (vendor_product_release, vendor_product, vendor, Default) first,
// then group 2, then group 3; below one key, the driver ids in registry order. A group 3 key
// other than "Default" names an interface driver: it is tried once per interface of the active
// configuration (alternate setting 0) whose class fields match, and USBDeviceAttach receives that
// interface; otherwise it receives null. The first client that returns TRUE and stores TRUE
// through fAcceptControl keeps the device; the stack closes whatever a refusing client left open.
// A device no client takes stays plugged until unplug().
PlugResult plug(std::shared_ptr<DeviceModel> model, const PlugOptions& options = {});

// Disconnects the device and returns at once; false if it is not plugged. The close
// notification runs on a thread of the stack and may block (a client waits there until its
// handles close).
bool unplug(DeviceId id);

// Waits until an unplugged device is gone: its notification routines have returned, its last
// completion routine has run and the client library is released. INFINITE waits for ever; false
// on time-out or for a device that was never unplugged.
bool waitUnplugged(DeviceId id, DWORD timeoutMs = INFINITE);

// Calls the library's USBInstallDriver with dllName, as the handheld does when a driver is
// installed, and releases the library again. False if the library or its export cannot be
// found (last error ERROR_MOD_NOT_FOUND or ERROR_PROC_NOT_FOUND) or if it returns FALSE.
bool installDriver(const std::string& dllName);
// The same with USBUnInstallDriver.
bool uninstallDriver(const std::string& dllName);

// Devices, pipes and transfers the stack holds now (unplugged devices count until they are
// gone), so that tests can show that a client leaks none.
struct LiveObjects {
    std::size_t devices = 0;
    std::size_t pipes = 0;
    std::size_t transfers = 0;
};
LiveObjects liveObjects();

}  // namespace host::usb
