// The second half of a sensor profile: strings, bulk rate, capture size and faults.
#include <gtest/gtest.h>
#include <sensor/sensor_faults.h>
#include <sensor/sensor_profile.h>

#include <algorithm>

namespace {

TEST(SensorProfile, RateCaptureStringsAndFaults) {
    const auto result = sim::parseProfile(R"(
[device]
manufacturer = "Acme"
serial = ""
[bulk]
rate = "high-speed"
[capture]
width = 64
height = 80
seed = 9
[faults]
stall-in = 2
halt-out = true
unplug-in-transfer = false
)");
    ASSERT_TRUE(result.profile) << result.error;
    const sim::SensorProfile& profile = *result.profile;
    EXPECT_EQ(profile.manufacturer, "Acme");
    EXPECT_EQ(profile.serialNumber, "");
    EXPECT_EQ(profile.product, sim::SensorProfile{}.product);
    EXPECT_EQ(profile.rate, sim::BulkRate::HighSpeed);
    EXPECT_EQ(profile.imageWidth, 64u);
    EXPECT_EQ(profile.imageHeight, 80u);
    EXPECT_EQ(profile.imageSeed, 9u);
    // A false flag is no fault; a true one has no argument.
    using Fault = std::pair<std::string, std::optional<std::uint32_t>>;
    std::vector<Fault> faults = profile.faults;
    std::sort(faults.begin(), faults.end());
    EXPECT_EQ(faults, (std::vector<Fault>{{"halt-out", std::nullopt}, {"stall-in", 2u}}));
}

TEST(SensorProfile, BadSecondHalfFieldsAreRefusedWithThePlace) {
    const std::pair<const char*, const char*> cases[] = {
        {"[bulk]\nrate = \"warp\"\n", "bulk: rate"},
        {"[capture]\nwidth = 4\n", "capture: width"},
        {"[capture]\nheight = 5000\n", "capture: height"},
        {"[faults]\nmelt = 1\n", "faults: melt: unknown fault"},
        {"[faults]\nstall-in = \"many\"\n", "faults: stall-in"},
        {"[device]\nproduct = 7\n", "device: product"},
        // Misspelt keys and tables are refused with their line, not ignored.
        {"[capture]\nheight = 64\nwidht = 64\n", "bad.toml:3: capture: unknown key \"widht\""},
        {"name = \"x\"\n[capturee]\nwidth = 64\n", "bad.toml:2: unknown key \"capturee\""},
        {"[[interface]]\nclas = 0\n", "bad.toml:2: interface 1: unknown key \"clas\""},
        {"[[interface]]\nendpoints = [{ kind = \"bulk-in\", size = 64 }]\n",
         "bad.toml:2: interface 1: endpoint 1: unknown key \"size\""},
        {"[stack]\nsuspnd = true\n", "bad.toml:2: stack: unknown key \"suspnd\""},
    };
    for (const auto& [text, place] : cases) {
        const auto result = sim::parseProfile(text, "bad.toml");
        EXPECT_FALSE(result.profile) << text;
        EXPECT_NE(result.error.find(place), std::string::npos) << result.error;
    }
}

TEST(SensorFaults, EveryNameApplies) {
    for (const std::string& name : sim::faultNames()) {
        sim::SensorFaults faults;
        EXPECT_TRUE(sim::applyFault(faults, name, 3)) << name;
    }
    sim::SensorFaults faults;
    sim::applyFault(faults, "timeout-out", std::nullopt);
    EXPECT_EQ(faults.timeoutOut, 1u);
    sim::applyFault(faults, "clear", std::nullopt);
    EXPECT_EQ(faults.timeoutOut, 0u);
    EXPECT_FALSE(sim::applyFault(faults, "Stall-In", 1));
}

}  // namespace
