#include "peripheral/messages.h"

namespace sim {

void appendU32(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes.push_back(static_cast<std::uint8_t>(value >> shift));
}

std::vector<std::uint8_t> versionResponse(const PeripheralIdentity& identity) {
    std::vector<std::uint8_t> payload;
    payload.reserve(3 + identity.text.size() + 4);
    payload.push_back(code::kVersionResponse);
    payload.push_back(identity.status);
    payload.push_back(identity.version);
    for (const std::uint8_t byte : identity.text) payload.push_back(byte);
    appendU32(payload, identity.serialNumber);
    return payload;
}

std::vector<std::uint8_t> eventMessage(std::uint8_t status) {
    return {code::kEvent, status};
}

std::vector<std::uint8_t> fileUploadResponse(std::uint8_t status, std::uint8_t uploadStatus) {
    return {code::kFileUploadResponse, status, uploadStatus};
}

std::vector<std::uint8_t> nullMessage() {
    return {code::kNull};
}

std::vector<std::uint8_t> dataResponse(std::uint8_t sequence, std::uint8_t status) {
    return {code::kDataResponse, sequence, status, 0x00};
}

}  // namespace sim
