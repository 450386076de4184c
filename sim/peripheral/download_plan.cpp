#include "peripheral/download_plan.h"

#include <algorithm>
#include <numeric>

namespace sim {
namespace {

// Not examined by the library; a value of its own so that a reader that takes it for data is
// caught by the checksum.
constexpr std::uint8_t kTrailingByte = 0xA5;

}  // namespace

std::vector<std::uint8_t> transferStream(const PeripheralFile& file) {
    std::vector<std::uint8_t> stream(file.nameHeader.begin(), file.nameHeader.end());
    stream.insert(stream.end(), file.content.begin(), file.content.end());
    return stream;
}

std::uint32_t streamChecksum(const std::vector<std::uint8_t>& stream) {
    return std::accumulate(stream.begin(), stream.end(), std::uint32_t{0},
                           [](std::uint32_t sum, std::uint8_t byte) { return sum + byte; });
}

DownloadPlan::DownloadPlan(const PeripheralFile& file, FaultSet& faults) {
    const bool shortResponse = faults.take(Fault::ShortDownload).has_value();
    const std::uint32_t surplus = faults.take(Fault::SizeSurplus).value_or(0);
    const std::uint32_t checksumError = faults.take(Fault::WrongChecksum).value_or(0);
    vanishAt_ = faults.take(Fault::VanishAtBlock);

    response_ = {code::kFileDownloadResponse, file.status, file.downloadStatus};
    if (file.downloadStatus != 0) return;

    const std::vector<std::uint8_t> stream = transferStream(file);
    if (!shortResponse) {
        appendU32(response_, static_cast<std::uint32_t>(stream.size()) + surplus);
        appendU32(response_, streamChecksum(stream) + checksumError);
    }
    if (faults.take(Fault::ShortData)) frames_.push_back({code::kFileData, 0x00});
    planBlocks(stream, std::clamp<std::size_t>(file.blockSize, 1, kMaxBlockBytes), faults);
}

void DownloadPlan::planBlocks(const std::vector<std::uint8_t>& stream, std::size_t blockSize,
                              FaultSet& faults) {
    const std::optional<std::uint32_t> wrongSequence = faults.take(Fault::WrongSequence);
    const std::optional<std::uint32_t> longFrame = faults.take(Fault::LongFrame);
    std::size_t offset = 0;
    for (std::uint32_t block = 0; offset < stream.size(); ++block) {
        const bool isLong = block == 0 && longFrame;
        const std::size_t room = isLong ? *longFrame - 3 : blockSize;
        const std::size_t n = std::min(room, stream.size() - offset);
        std::uint8_t sequence = static_cast<std::uint8_t>(block);
        if (wrongSequence == block) ++sequence;

        std::vector<std::uint8_t> payload{code::kFileData, sequence};
        payload.insert(payload.end(), stream.begin() + static_cast<std::ptrdiff_t>(offset),
                       stream.begin() + static_cast<std::ptrdiff_t>(offset + n));
        // A long frame is long even when the stream ends inside it.
        if (isLong) payload.resize(*longFrame - 1, 0x00);
        payload.push_back(kTrailingByte);
        frames_.push_back(std::move(payload));
        offset += n;
    }
}

}  // namespace sim
