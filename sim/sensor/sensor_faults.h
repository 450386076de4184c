// What can go wrong with the sensor, set from a profile's [faults] table or at run time (drx's
// `fault NAME [ARG]`). Counted faults apply to that many transfers or requests, then lapse.
//
//   stall-in N, stall-out N   the next N transfers on the pipe stall; the stack halts the pipe
//                             and a pipe reset clears it
//   halt-in, halt-out         every transfer on the pipe stalls: a pipe reset does not help,
//                             a reset of the sensor does
//   timeout-in N, timeout-out N  the next N transfers never complete (until cancelled)
//   short-in BYTES            the next IN transfer delivers at most BYTES bytes
//   zero-length-in N          the next N IN transfers complete with no data
//   halt-default N            the next N requests on the default pipe stall
//   recovery-fails N          the next N CLEAR_FEATURE(ENDPOINT_HALT) requests stall
//   unplug-in-transfer        the next bulk transfer is left pending and the sensor unplugs
//   clear                     no faults
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct SensorFaults {
    std::uint32_t stallIn = 0;
    std::uint32_t stallOut = 0;
    bool haltIn = false;
    bool haltOut = false;
    std::uint32_t timeoutIn = 0;
    std::uint32_t timeoutOut = 0;
    std::optional<std::uint32_t> shortIn;
    std::uint32_t zeroLengthIn = 0;
    std::uint32_t haltDefault = 0;
    std::uint32_t recoveryFails = 0;
    bool unplugInTransfer = false;
};

// Applies one fault by name; a missing argument counts 1 (or, for short-in, 0 bytes). False for
// an unknown name.
bool applyFault(SensorFaults& faults, const std::string& name, std::optional<std::uint32_t> arg);

// The names applyFault knows, for messages.
const std::vector<std::string>& faultNames();

}  // namespace sim
