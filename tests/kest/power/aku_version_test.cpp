#include <string>
#include <vector>

#include "power_fixture.h"

namespace {

using Lines = std::vector<std::string>;

class AkuVersion : public kest_test::PowerSteps {};

TEST_F(AkuVersion, ALeadingDotIsRemoved) {
    EXPECT_EQ(manager().readAkuVersion(), "2.0");
    EXPECT_EQ(managerLines(), (Lines{"AKU: ", ".2.0", "In AKU If", "Success opening key."}));
}

TEST_F(AkuVersion, ATextWithoutDotIsKeptWhole) {
    loadRegistry("[HKEY_LOCAL_MACHINE\\SYSTEM\\Versions]\n\"AKU\"=\"3.1\"");
    EXPECT_EQ(manager().readAkuVersion(), "3.1");
    EXPECT_EQ(managerLines(), (Lines{"AKU: ", "3.1", "Success opening key."}));
}

TEST_F(AkuVersion, AMissingKeyGivesAnEmptyText) {
    loadRegistry("[-HKEY_LOCAL_MACHINE\\SYSTEM\\Versions]");
    EXPECT_EQ(manager().readAkuVersion(), "");
    EXPECT_EQ(managerLines(), (Lines{"Cannot open key."}));
}

TEST_F(AkuVersion, AMissingValueGivesAnEmptyText) {
    loadRegistry("[HKEY_LOCAL_MACHINE\\SYSTEM\\Versions]\n\"AKU\"=-");
    EXPECT_EQ(manager().readAkuVersion(), "");
    EXPECT_EQ(managerLines(), (Lines{"AKU: ", "", "Success opening key."}));
}

TEST_F(AkuVersion, EachCodeUnitIsNarrowedToItsLowByte) {
    // "5.é" and U+0132 U+0035: the low bytes of the units, whatever the high bytes were.
    loadRegistry("[HKEY_LOCAL_MACHINE\\SYSTEM\\Versions]\n\"AKU\"=hex(1):35,00,2e,00,e9,00,00,00");
    EXPECT_EQ(manager().readAkuVersion(), "5.\xE9");
    application.clear();
    loadRegistry("[HKEY_LOCAL_MACHINE\\SYSTEM\\Versions]\n\"AKU\"=hex(1):32,01,35,00,00,00");
    EXPECT_EQ(manager().readAkuVersion(), "25");
}

// The query takes 255 bytes: 126 characters and their terminator fit, 127 do not, and a
// value the query refuses leaves the zeroed buffer as it was.
TEST_F(AkuVersion, TheLongestValueThatFitsIsReadWholeAndOneMoreIsRefused) {
    const auto akuOf = [this](std::size_t length) {
        loadRegistry("[HKEY_LOCAL_MACHINE\\SYSTEM\\Versions]\n\"AKU\"=\"" +
                     std::string(length, '7') + "\"");
        return manager().readAkuVersion();
    };
    EXPECT_EQ(akuOf(126), std::string(126, '7'));
    EXPECT_EQ(akuOf(127), "");
}

}  // namespace
