// Status texts: the library's only log, delivered to the status observers.
#include <cstdarg>
#include <cstdio>

#include "manager/device_manager.h"

namespace kest {
namespace {

constexpr std::size_t kStatusBufferSize = 64;

}  // namespace

void DeviceManager::reportStatus(const char* text) {
    statusObservers.invoke(toWord(text));
}

void DeviceManager::reportFormatted(const char* format, ...) {
    char text[kStatusBufferSize];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    reportStatus(text);
}

void DeviceManager::forwardPortMessage(DeviceManager* manager, const char* text) {
    manager->reportStatus(text);
}

}  // namespace kest
