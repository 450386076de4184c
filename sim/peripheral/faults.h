// The faults the peripheral can be told to make, by a profile's [faults] table or at run time.
// Each fault is armed with a value (an offset, a block number, a length; 1 for the faults that
// are only on or off) and strikes once, the next time the message it spoils is sent, unless
// Repeat is armed too.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace sim {

enum class Fault : std::size_t {
    DropByte,       // the download's byte at this offset is not sent
    DuplicateByte,  // ... is sent twice
    CorruptByte,    // ... is sent inverted
    WrongSequence,  // the data block of this number carries its sequence number plus one
    WrongChecksum,  // the announced checksum is one more than the sum of the stream
    LongFrame,      // the first data block comes in a frame of this many payload bytes
    ShortVersion,   // VersionResponse cut to 3 bytes: code, status, version
    ShortDownload,  // FileDownloadResponse cut to 3 bytes: code, status, download status 0
    ShortData,      // a 2-byte FileData (08 00) comes before the first block
    SizeSurplus,    // the announced size is this many bytes more than what is sent
    VanishAtBlock,  // the data port vanishes when FileData frame number N is due
    Repeat,         // the faults strike every time, not once
    Count
};

struct FaultInfo {
    Fault fault;
    std::string_view name;  // as in a profile's [faults] table and the kest shell
    bool takesValue;        // false: on or off
    std::uint32_t min;
    std::uint32_t max;
    std::string_view meaning;
};

std::span<const FaultInfo> faultTable();
const FaultInfo& faultInfo(Fault fault);
const FaultInfo* findFault(std::string_view name);

// The faults that do something to a download; the others spoil other messages or set a mode.
bool isDownloadFault(Fault fault);

class FaultSet {
  public:
    // Arms a fault; false (nothing armed) when the value is outside its range. A fault without a
    // value takes 1.
    bool arm(Fault fault, std::uint32_t value = 1);
    void clear(Fault fault) { values_[index(fault)].reset(); }
    void clearAll() { values_.fill(std::nullopt); }

    std::optional<std::uint32_t> value(Fault fault) const { return values_[index(fault)]; }
    bool has(Fault fault) const { return values_[index(fault)].has_value(); }
    bool empty() const;

    // The value of an armed fault, disarmed on the way unless Repeat is armed.
    std::optional<std::uint32_t> take(Fault fault);

    // "drop_byte=20 wrong_checksum", or "none".
    std::string describe() const;

    bool operator==(const FaultSet&) const = default;

  private:
    static std::size_t index(Fault fault) { return static_cast<std::size_t>(fault); }
    std::array<std::optional<std::uint32_t>, static_cast<std::size_t>(Fault::Count)> values_{};
};

}  // namespace sim
