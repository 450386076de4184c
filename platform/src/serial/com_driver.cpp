// The COM driver's stream entry points, and the table that lets COM_Init find its line: the
// client information of a COM device is a 32-bit line identifier, never an address.
#include "serial/com_driver.h"

#include <host/devices.h>

#include <map>
#include <mutex>
#include <optional>

#include "devices/reg_values.h"
#include "serial/com_device.h"
#include "text/text.h"

namespace ce::serial {
namespace {

struct ActiveLine {
    unsigned comNumber;
    std::shared_ptr<Line> line;
};

struct LineTable {
    std::mutex lock;
    std::map<DWORD, ActiveLine> lines;
    DWORD next = 1;
};

LineTable& lineTable() {
    static auto* table = new LineTable;
    return *table;
}

DWORD addLine(unsigned comNumber, std::shared_ptr<Line> line) {
    LineTable& t = lineTable();
    std::lock_guard guard(t.lock);
    const DWORD id = t.next++;
    t.lines.emplace(id, ActiveLine{comNumber, std::move(line)});
    return id;
}

std::optional<ActiveLine> findLine(DWORD id) {
    LineTable& t = lineTable();
    std::lock_guard guard(t.lock);
    const auto it = t.lines.find(id);
    if (it == t.lines.end()) return std::nullopt;
    return it->second;
}

void removeLine(DWORD id) {
    std::shared_ptr<Line> last;
    LineTable& t = lineTable();
    std::lock_guard guard(t.lock);
    if (const auto it = t.lines.find(id); it != t.lines.end()) {
        last = std::move(it->second.line);
        t.lines.erase(it);
    }
}

ComDevice* device(DWORD_PTR context) {
    return reinterpret_cast<ComDevice*>(context);
}
ComHandle* handle(DWORD_PTR context) {
    return reinterpret_cast<ComHandle*>(context);
}

DWORD_PTR COM_Init(DWORD_PTR, LPCVOID clientInfo) {
    auto active = findLine(static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(clientInfo)));
    if (!active) {
        SetLastError(ERROR_DEV_NOT_EXIST);
        return 0;
    }
    return reinterpret_cast<DWORD_PTR>(
        ComDevice::create(std::move(active->line), active->comNumber));
}

BOOL COM_PreDeinit(DWORD_PTR context) {
    device(context)->preDeinit();
    return TRUE;
}

BOOL COM_Deinit(DWORD_PTR context) {
    device(context)->deinit();
    return TRUE;
}

DWORD_PTR COM_Open(DWORD_PTR context, DWORD access, DWORD) {
    return reinterpret_cast<DWORD_PTR>(device(context)->open(access));
}

BOOL COM_PreClose(DWORD_PTR context) {
    handle(context)->preClose();
    return TRUE;
}

BOOL COM_Close(DWORD_PTR context) {
    handle(context)->close();
    return TRUE;
}

DWORD COM_Read(DWORD_PTR context, LPVOID buffer, DWORD count) {
    return handle(context)->read(buffer, count);
}

DWORD COM_Write(DWORD_PTR context, LPCVOID buffer, DWORD count) {
    return handle(context)->write(buffer, count);
}

DWORD COM_Seek(DWORD_PTR, LONG, WORD) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return MAXDWORD;
}

BOOL COM_IOControl(DWORD_PTR context, DWORD code, PBYTE in, DWORD inSize, PBYTE out, DWORD outSize,
                   PDWORD returned) {
    return handle(context)->ioControl(code, in, inSize, out, outSize, returned);
}

std::u16string driverKeyPath(unsigned number) {
    return u"Drivers\\Host\\Serial\\COM" + text::toWide(std::to_string(number));
}

}  // namespace

void registerComDriver() {
    static std::once_flag once;
    std::call_once(once, [] {
        host::devices::StreamDriver driver;
        driver.init = COM_Init;
        driver.preDeinit = COM_PreDeinit;
        driver.deinit = COM_Deinit;
        driver.open = COM_Open;
        driver.preClose = COM_PreClose;
        driver.close = COM_Close;
        driver.read = COM_Read;
        driver.write = COM_Write;
        driver.seek = COM_Seek;
        driver.ioControl = COM_IOControl;
        host::devices::registerBuiltInDriver(kComDriverDll, driver);
    });
}

std::unique_ptr<ComActivation> ComActivation::activate(unsigned comNumber,
                                                       std::shared_ptr<Line> line) {
    registerComDriver();
    const std::u16string keyPath = driverKeyPath(comNumber);
    {
        const auto key = devices::RegKey::create(HKEY_LOCAL_MACHINE, keyPath);
        if (!key || !key.writeString(DEVLOAD_DLLNAME_VALNAME, text::toWide(kComDriverDll)) ||
            !key.writeString(DEVLOAD_PREFIX_VALNAME, u"COM") ||
            !key.writeDword(DEVLOAD_INDEX_VALNAME, comNumber)) {
            SetLastError(ERROR_CANTWRITE);
            return nullptr;
        }
    }
    const DWORD lineId = addLine(comNumber, std::move(line));
    HANDLE device = ActivateDeviceEx(keyPath.c_str(), nullptr, 0,
                                     reinterpret_cast<LPVOID>(static_cast<std::uintptr_t>(lineId)));
    if (device == nullptr) {
        const DWORD error = GetLastError();
        removeLine(lineId);
        SetLastError(error);
        return nullptr;
    }
    return std::unique_ptr<ComActivation>(new ComActivation(comNumber, lineId, device));
}

ComActivation::~ComActivation() {
    DeactivateDevice(device_);
    removeLine(lineId_);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, driverKeyPath(number_).c_str());
}

}  // namespace ce::serial
