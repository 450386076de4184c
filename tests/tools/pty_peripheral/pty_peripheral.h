// A peripheral of one's own on pseudo-terminals, as a user without the simulated one would make
// it. It is powered while the slave of its power pty is held open. Its data port belongs to its
// power: 100 ms after power-on it makes a new pty and names its slave by the link `data` in its
// folder, and at power-off it closes that pty and removes the link. It answers the version
// request, serves a small file block by block and takes activations. One thread, woken by
// inotify on the power slave's opens and closes and by the data pty's bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
    // The 16-byte name header, then the content: what a download must store.
    static std::vector<std::uint8_t> content();

    unsigned powerCycles() const;
    std::vector<std::uint8_t> activations() const;

  private:
    void run(std::stop_token stop);
    void powerChanged(bool on);
    void openDataPort();
    void closeDataPort();
    void receive(std::uint8_t byte);
    void answer(const std::vector<std::uint8_t>& message);
    void send(const std::vector<std::uint8_t>& payload);
    void sendBlock();

    const std::filesystem::path folder_;
    int powerMaster_ = -1;
    std::string powerPath_;
    int inotify_ = -1;
    int stopEvent_ = -1;

    // The thread's alone.
    int openHandles_ = 0;
    int dataMaster_ = -1;
    int dataSlave_ = -1;  // held, so the master reads without a hang-up while nobody has it open
    std::vector<std::uint8_t> frame_;
    std::size_t sent_ = 0;  // stream bytes of the transfer sent so far
    std::uint8_t sequence_ = 0;
    bool transferring_ = false;

    mutable std::mutex lock_;
    unsigned powerCycles_ = 0;
    std::vector<std::uint8_t> activations_;

    std::jthread thread_;
};

}  // namespace pty_test
