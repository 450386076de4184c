// A peripheral of one's own on pseudo-terminals, as a user without the simulated one would make
// it. It is powered while the slave of its power pty is held open. Its data port belongs to its
// power: 100 ms after power-on it makes a new pty and names its slave by the link `data` in its
// folder, and at power-off it closes that pty and removes the link. It answers the version
// request, serves a small file block by block and takes activations, with the simulated
// peripheral's frame and message layouts but none of its behaviour. One thread, woken by inotify
// on the power slave's opens and closes and by the data pty's bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "peripheral/download_plan.h"
#include "peripheral/frame_reader.h"

namespace pty_test {

class PtyPeripheral {
  public:
    explicit PtyPeripheral(std::filesystem::path folder);
    ~PtyPeripheral();
    PtyPeripheral(const PtyPeripheral&) = delete;
    PtyPeripheral& operator=(const PtyPeripheral&) = delete;

    // Empty when the power pty could not be made.
    const std::string& powerPath() const { return powerPath_; }
    std::filesystem::path dataPath() const { return folder_ / "data"; }
    // The file it serves: QUOX\RUV\ptycal.bin.
    static sim::PeripheralFile file();

    unsigned powerCycles() const;
    std::vector<std::uint8_t> activations() const;

  private:
    void run(std::stop_token stop);
    void powerChanged(bool on);
    void openDataPort();
    void closeDataPort();
    void answer(const std::vector<std::uint8_t>& message);
    void sendNextBlock();
    void send(const std::vector<std::uint8_t>& payload);

    const std::filesystem::path folder_;
    int powerMaster_ = -1;
    std::string powerPath_;
    int inotify_ = -1;
    int stopEvent_ = -1;

    // The thread's alone.
    int openHandles_ = 0;
    int dataMaster_ = -1;
    int dataSlave_ = -1;  // held, so the master reads without a hang-up while nobody has it open
    sim::FrameReader reader_;
    std::vector<std::vector<std::uint8_t>> blocksToSend_;  // of the transfer, in reverse order

    mutable std::mutex lock_;
    unsigned powerCycles_ = 0;
    std::vector<std::uint8_t> activations_;

    std::jthread thread_;
};

}  // namespace pty_test
