// The messages the peripheral sends, as frame payloads (message code first; multi-byte fields
// big-endian), and the codes of those it receives.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace sim {

namespace code {
inline constexpr std::uint8_t kNull = 0x00;
inline constexpr std::uint8_t kVersionRequest = 0x01;
inline constexpr std::uint8_t kVersionResponse = 0x02;
inline constexpr std::uint8_t kEvent = 0x03;
inline constexpr std::uint8_t kFileUploadResponse = 0x05;
inline constexpr std::uint8_t kFileDownloadRequest = 0x06;
inline constexpr std::uint8_t kFileDownloadResponse = 0x07;
inline constexpr std::uint8_t kFileData = 0x08;
inline constexpr std::uint8_t kDataResponse = 0x09;
inline constexpr std::uint8_t kActivatePeripheral = 0x0B;
}  // namespace code

// DataResponse status: the block was accepted, or the block (and the download) was refused.
inline constexpr std::uint8_t kBlockAccepted = 0x00;
inline constexpr std::uint8_t kBlockRejected = 0x01;

// Stream bytes one FileData frame carries at most: 125 payload bytes less code, sequence number
// and the trailing byte.
inline constexpr std::size_t kMaxBlockBytes = 122;
inline constexpr std::size_t kNameHeaderSize = 16;

// What the peripheral says about itself in its VersionResponse.
struct PeripheralIdentity {
    std::uint8_t status = 0x00;
    std::uint8_t version = 0x12;  // high nibble major, low nibble minor
    std::array<std::uint8_t, 12> text{'K', 'E', 'S', 'T', ' ', 'R', 'D', 'R', ' ', '1', '.', '2'};
    std::uint32_t serialNumber = 0x0001E240;
};

// The Status bytes of the messages the peripheral sends unasked.
struct UnaskedStatus {
    std::uint8_t event = 0x00;
    std::uint8_t upload = 0x00;
    std::uint8_t uploadStatus = 0x00;
};

void appendU32(std::vector<std::uint8_t>& bytes, std::uint32_t value);

// 02 status version text[12] serial[4]: 19 bytes.
std::vector<std::uint8_t> versionResponse(const PeripheralIdentity& identity);
// 03 status
std::vector<std::uint8_t> eventMessage(std::uint8_t status);
// 05 status uploadStatus
std::vector<std::uint8_t> fileUploadResponse(std::uint8_t status, std::uint8_t uploadStatus);
// 00
std::vector<std::uint8_t> nullMessage();
// 09 sequence status 00
std::vector<std::uint8_t> dataResponse(std::uint8_t sequence, std::uint8_t status);

}  // namespace sim
