// A peripheral of the download checker's own, on simulated lines: "COM1:" is its power switch,
// and while it is held open the data port "COM5:" is there. It answers VersionRequest and
// FileDownloadRequest (a file, no file, an error or silence, as its random script says) and
// paces its FileData blocks by the DataResponse acknowledgements; on the checker's word it also
// does what a peripheral should not: announcements and blocks nobody asked for, the rest of a
// transfer of an earlier power session, its data port vanishing.
//
// It keeps the record the checker judges the library by: every transfer it sent whole, with a
// correct checksum, in answer to a FileDownloadRequest of the same power session (or as the
// restart of such a transfer), is "asked". Only those may become files. A transfer announced
// before the peripheral read the request may have crossed it on the line, and the library
// rightly takes it as the answer: once the request is read, the session's earlier transfers
// count as asked too.
#pragma once

#include <host/serial.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace kest_check {

using Bytes = std::vector<std::uint8_t>;

class ScriptedPeripheral {
  public:
    // The data port runs at bitsPerSecond (0: unpaced).
    ScriptedPeripheral(std::uint64_t seed, std::uint32_t bitsPerSecond);
    ~ScriptedPeripheral();
    ScriptedPeripheral(const ScriptedPeripheral&) = delete;
    ScriptedPeripheral& operator=(const ScriptedPeripheral&) = delete;

    // Misbehaviour on the checker's word; each does nothing while the data port is absent.
    void announceUnasked();
    void sendStrayBlock();
    void resumeEarlierTransfer();
    void vanishDataPort();

    // The contents of the asked transfers of a name (the bytes after the name header).
    std::set<Bytes> askedContents(const std::string& name) const;
    // Returns once the peripheral has read and handled everything the library wrote to it so
    // far (bounded by a second).
    void settle();
    // The contents of every transfer of a name sent whole, asked or not.
    std::set<Bytes> sentContents(const std::string& name) const;
    // Every size the peripheral has announced.
    std::set<std::uint32_t> announcedSizes() const;
    // What it did last, oldest first, for the report of a failed check.
    std::string journal() const;

  private:
    struct Transfer {
        std::string name;
        Bytes stream;  // name header and content
        std::vector<Bytes> blocks;
        std::size_t next = 0;  // the block the next acknowledgement releases
        bool asked = false;
        bool checksumCorrect = true;
    };

    void powerChanged(bool on);
    void readFrames(std::stop_token stop, std::shared_ptr<host::serial::SimulatedLine> line);
    void handleFrame(const Bytes& payload);
    Transfer makeTransfer();
    void announce(Transfer transfer);
    void sendNextBlock();
    void sendFrame(const Bytes& payload);
    void resumeInterrupted();
    void note(std::string event);

    std::shared_ptr<host::serial::SimulatedLine> powerLine_;
    mutable std::mutex lock_;
    const std::uint32_t bitsPerSecond_;
    std::mt19937_64 random_;
    std::shared_ptr<host::serial::SimulatedLine> dataLine_;
    std::jthread reader_;
    bool requestPending_ = false;  // a FileDownloadRequest of this session not yet answered whole
    std::unique_ptr<Transfer> current_;
    std::unique_ptr<Transfer> interrupted_;  // cut off by the last power-off
    std::map<std::string, std::set<Bytes>> asked_;
    std::map<std::string, std::set<Bytes>> sent_;
    std::uint8_t lastSequence_ = 0;  // of the last block sent, in any transfer
    bool firstFrameOfSession_ = false;
    std::set<std::uint32_t> announcedSizes_;
    // Whole transfers of this session sent while no request had been read, as (name, content).
    std::vector<std::pair<std::string, Bytes>> sentUnasked_;
    unsigned readerRounds_ = 0;  // reads made and handled
    std::deque<std::string> journal_;
};

}  // namespace kest_check
