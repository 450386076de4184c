#include "peripheral/faults.h"

#include <algorithm>

namespace sim {
namespace {

constexpr std::uint32_t kAnyOffset = 0xFFFFFFFF;
constexpr std::uint32_t kAnyBlock = 0xFFFFFFFF;
constexpr std::uint32_t kMaxSurplus = 0x7FFFFFFF;

constexpr std::array<FaultInfo, static_cast<std::size_t>(Fault::Count)> kFaults{{
    {Fault::DropByte, "drop_byte", true, 0, kAnyOffset,
     "the download's byte at this offset (0: the 0x21 of FileDownloadResponse) is not sent"},
    {Fault::DuplicateByte, "duplicate_byte", true, 0, kAnyOffset,
     "the download's byte at this offset is sent twice"},
    {Fault::CorruptByte, "corrupt_byte", true, 0, kAnyOffset,
     "the download's byte at this offset is sent inverted"},
    {Fault::WrongSequence, "wrong_sequence", true, 0, kAnyBlock,
     "data block N carries its sequence number plus one"},
    {Fault::WrongChecksum, "wrong_checksum", false, 1, 1,
     "the announced checksum is one more than the stream's sum"},
    {Fault::LongFrame, "long_frame", true, 126, 255,
     "the first data block comes in a frame of N payload bytes"},
    {Fault::ShortVersion, "short_version", false, 1, 1, "VersionResponse cut to 3 bytes"},
    {Fault::ShortDownload, "short_download", false, 1, 1,
     "FileDownloadResponse cut to 3 bytes (07 status 00)"},
    {Fault::ShortData, "short_data", false, 1, 1,
     "a 2-byte FileData (08 00) comes first; its acknowledgement brings the first block"},
    {Fault::SizeSurplus, "size_surplus", true, 1, kMaxSurplus,
     "the announced size is N bytes more than what is sent"},
    {Fault::VanishAtBlock, "vanish_at_block", true, 0, kAnyBlock,
     "the data port vanishes when FileData frame N (0: the first) is due"},
    {Fault::Repeat, "repeat", false, 1, 1, "the faults strike every time, not once"},
}};

}  // namespace

std::span<const FaultInfo> faultTable() {
    return kFaults;
}

const FaultInfo& faultInfo(Fault fault) {
    return kFaults[static_cast<std::size_t>(fault)];
}

const FaultInfo* findFault(std::string_view name) {
    const auto it = std::find_if(kFaults.begin(), kFaults.end(),
                                 [&](const FaultInfo& info) { return info.name == name; });
    return it == kFaults.end() ? nullptr : &*it;
}

bool isDownloadFault(Fault fault) {
    return fault != Fault::ShortVersion && fault != Fault::Repeat;
}

bool FaultSet::arm(Fault fault, std::uint32_t value) {
    const FaultInfo& info = faultInfo(fault);
    if (value < info.min || value > info.max) return false;
    values_[index(fault)] = value;
    return true;
}

bool FaultSet::empty() const {
    return std::none_of(values_.begin(), values_.end(),
                        [](const std::optional<std::uint32_t>& v) { return v.has_value(); });
}

std::optional<std::uint32_t> FaultSet::take(Fault fault) {
    const std::optional<std::uint32_t> armed = value(fault);
    if (!has(Fault::Repeat)) clear(fault);
    return armed;
}

std::string FaultSet::describe() const {
    std::string text;
    for (const FaultInfo& info : kFaults) {
        const std::optional<std::uint32_t> armed = value(info.fault);
        if (!armed) continue;
        if (!text.empty()) text += ' ';
        text += info.name;
        if (info.takesValue) text += "=" + std::to_string(*armed);
    }
    return text.empty() ? "none" : text;
}

}  // namespace sim
