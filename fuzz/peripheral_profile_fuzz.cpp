// Feeds arbitrary text to the simulated peripheral's profile parser. It must never throw, must
// name the source in every error, and whatever it accepts must stay within the limits it
// promises and be servable: every frame the peripheral would send for the profile's file and
// faults must fit a frame.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "peripheral/download_plan.h"
#include "peripheral/frame.h"
#include "peripheral/profile.h"

namespace {

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "%s\n", what.c_str());
    std::abort();
}

void checkLimits(const sim::PeripheralProfile& profile) {
    if (profile.file.content.size() > sim::kMaxContentSize) fail("content above the limit");
    if (profile.file.blockSize < 1 || profile.file.blockSize > sim::kMaxBlockBytes)
        fail("block size out of range: " + std::to_string(profile.file.blockSize));
    const std::uint32_t rate = profile.port.dataBitRate;
    if (rate != 0 && (rate < 300 || rate > 4000000))
        fail("bit rate out of range: " + std::to_string(rate));
}

void checkServable(const sim::PeripheralProfile& profile) {
    sim::FaultSet faults = profile.faults;
    const sim::DownloadPlan plan(profile.file, faults);
    try {
        sim::encodeFrame(0, plan.response());
        for (const auto& frame : plan.frames()) sim::encodeFrame(0, frame);
    } catch (const std::length_error& error) {
        fail(std::string("a planned frame does not fit: ") + error.what());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const sim::PeripheralProfileResult result = sim::parsePeripheralProfile(text, "fuzz.toml");
    if (!result.profile) {
        if (!result.error.starts_with("fuzz.toml"))
            fail("an error without its source: " + result.error);
        return 0;
    }
    if (!result.error.empty()) fail("a profile with an error: " + result.error);
    checkLimits(*result.profile);
    checkServable(*result.profile);
    return 0;
}
