#include "error_names.h"

#include <dermo.h>
#include <windows.h>

namespace drx_tool {

std::string errorName(std::uint32_t error) {
    switch (error) {
#define DRX_ERROR_NAME(name) \
    case name:               \
        return #name;
        DRX_ERROR_NAME(ERROR_SUCCESS)
        DRX_ERROR_NAME(ERROR_FILE_NOT_FOUND)
        DRX_ERROR_NAME(ERROR_ACCESS_DENIED)
        DRX_ERROR_NAME(ERROR_INVALID_HANDLE)
        DRX_ERROR_NAME(ERROR_NOT_ENOUGH_MEMORY)
        DRX_ERROR_NAME(ERROR_NOT_READY)
        DRX_ERROR_NAME(ERROR_GEN_FAILURE)
        DRX_ERROR_NAME(ERROR_NOT_SUPPORTED)
        DRX_ERROR_NAME(ERROR_INVALID_PARAMETER)
        DRX_ERROR_NAME(ERROR_INSUFFICIENT_BUFFER)
        DRX_ERROR_NAME(ERROR_MOD_NOT_FOUND)
        DRX_ERROR_NAME(ERROR_PROC_NOT_FOUND)
        DRX_ERROR_NAME(ERROR_BUSY)
        DRX_ERROR_NAME(ERROR_ALREADY_EXISTS)
        DRX_ERROR_NAME(ERROR_BADKEY)
        DRX_ERROR_NAME(ERROR_CANTWRITE)
        DRX_ERROR_NAME(ERROR_DEVICE_NOT_CONNECTED)
        DRX_ERROR_NAME(ERROR_TIMEOUT)
        DRX_ERROR_NAME(ERROR_BAD_FORMAT)
        DRX_ERROR_NAME(SENSOR_E_UNKNOWN_PROPERTY)
        DRX_ERROR_NAME(SENSOR_E_READ_ONLY_PROPERTY)
#undef DRX_ERROR_NAME
        default:
            return "ERROR_" + std::to_string(error);
    }
}

}  // namespace drx_tool
