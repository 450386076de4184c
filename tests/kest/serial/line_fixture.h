// Shared setup of the port tests: a simulated line, unpaced, active as "COM7:" for the length of
// a test, and a log of the text lines a port reports.
#pragma once

#include <gtest/gtest.h>
#include <host/serial.h>
#include <windows.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "manager/callback_list.h"

class LineLog {
  public:
    static void Record(LineLog* log, const char* line);
    static constexpr kest::CallbackFunction kHandler = kest::callback<&LineLog::Record>;

    std::vector<std::string> lines() const;

  private:
    mutable std::mutex lock_;
    std::vector<std::string> lines_;
};

class LineTest : public ::testing::Test {
  protected:
    static constexpr const char* kPortName = "COM7:";

    void SetUp() override;
    void TearDown() override;

    // The bytes the port has written, waiting for count of them.
    std::vector<BYTE> peerRead(std::size_t count);
    void peerWrite(const std::vector<BYTE>& bytes);

    std::shared_ptr<host::serial::SimulatedLine> line;
    LineLog log;
};
