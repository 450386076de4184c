#include "scripted_peripheral.h"

#include <algorithm>
#include <chrono>
#include <numeric>
#include <optional>
#include <span>
#include <stdexcept>
#include <utility>

namespace kest_check {
namespace {

constexpr unsigned kPowerCom = 1;
constexpr unsigned kDataCom = 5;
constexpr std::uint8_t kStart = 0x21;
constexpr std::size_t kHeaderLength = 16;
constexpr std::size_t kMostPerBlock = 122;
const char* const kNames[] = {"calib", "cal", "abc", "x"};

// A FileData payload: code, sequence number, the stream bytes, one byte not examined.
Bytes fileData(std::uint8_t sequence, const Bytes& bytes) {
    Bytes payload;
    payload.reserve(bytes.size() + 3);
    payload.push_back(0x08);
    payload.push_back(sequence);
    payload.insert(payload.end(), bytes.begin(), bytes.end());
    payload.push_back(0xA5);
    return payload;
}

Bytes bigEndian(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

// Version 1.2, its text, serial number 0x00C0FFEE.
Bytes versionResponse() {
    const std::string text = "CHECKER 1.2 ";
    Bytes payload(3 + text.size() + 4);
    payload[0] = 0x02;
    payload[2] = 0x12;
    std::copy(text.begin(), text.end(), payload.begin() + 3);
    const Bytes serial = bigEndian(0x00C0FFEE);
    std::copy(serial.begin(), serial.end(), payload.end() - 4);
    return payload;
}

}  // namespace

ScriptedPeripheral::ScriptedPeripheral(std::uint64_t seed, std::uint32_t bitsPerSecond)
    : powerLine_(host::serial::createSimulatedLine()), bitsPerSecond_(bitsPerSecond), random_(seed) {
    if (!powerLine_->activate(kPowerCom)) throw std::runtime_error("COM1: is taken");
    powerLine_->setOpenHandler([this](bool open) { powerChanged(open); });
}

ScriptedPeripheral::~ScriptedPeripheral() {
    powerLine_->setOpenHandler(nullptr);
    powerLine_->deactivate();
    powerChanged(false);
}

void ScriptedPeripheral::powerChanged(bool on) {
    std::unique_lock guard(lock_);
    if (on) {
        auto line = host::serial::createSimulatedLine(bitsPerSecond_);
        if (!line->activate(kDataCom)) return;
        dataLine_ = line;
        firstFrameOfSession_ = true;
        note("power on");
        reader_ = std::jthread([this, line](std::stop_token stop) { readFrames(stop, line); });
        return;
    }
    note("power off");
    std::jthread reader = std::move(reader_);
    dataLine_.reset();
    requestPending_ = false;
    sentUnasked_.clear();
    if (current_ != nullptr && current_->next < current_->blocks.size()) {
        interrupted_ = std::move(current_);
    }
    current_.reset();
    guard.unlock();
    // The reader takes its line away as it ends: the port leaves with the power.
    reader.request_stop();
    if (reader.joinable()) reader.join();
}

void ScriptedPeripheral::readFrames(std::stop_token stop,
                                    std::shared_ptr<host::serial::SimulatedLine> line) {
    Bytes pending;
    std::uint8_t chunk[256];
    while (!stop.stop_requested()) {
        const std::size_t n = line->read(chunk, std::chrono::milliseconds(20), stop);
        pending.insert(pending.end(), chunk, chunk + n);
        // Frames are delimited by their length; bytes before a start byte are noise.
        while (!pending.empty()) {
            const auto start = std::find(pending.begin(), pending.end(), kStart);
            pending.erase(pending.begin(), start);
            if (pending.size() < 3 || pending.size() < 3u + pending[2]) break;
            const Bytes payload(pending.begin() + 3, pending.begin() + 3 + pending[2]);
            const bool typeZero = pending[1] == 0;
            pending.erase(pending.begin(), pending.begin() + 3 + pending[2]);
            if (typeZero && !payload.empty()) handleFrame(payload);
        }
        std::lock_guard guard(lock_);
        ++readerRounds_;
    }
    line->deactivate();
}

void ScriptedPeripheral::handleFrame(const Bytes& payload) {
    std::lock_guard guard(lock_);
    // Half the time the first frame of a power session finds the peripheral still in the last
    // one: it sends the rest of the transfer that the power-off cut, or the last block again,
    // empty.
    if (std::exchange(firstFrameOfSession_, false) && random_() % 2 == 0) {
        if (interrupted_ != nullptr) {
            resumeInterrupted();
        } else {
            note("empty block " + std::to_string(lastSequence_) + " at power-up");
            sendFrame(fileData(lastSequence_, {}));
        }
    }
    switch (payload[0]) {
        case 0x01: {  // VersionRequest
            if (random_() % 10 == 0) return;  // silence
            sendFrame(versionResponse());
            return;
        }
        case 0x06: {  // FileDownloadRequest
            requestPending_ = true;
            for (auto& [name, content] : sentUnasked_) asked_[name].insert(std::move(content));
            sentUnasked_.clear();
            if (current_ != nullptr) current_->asked = true;
            const auto choice = random_() % 20;
            if (choice < 14) {
                announce(makeTransfer());
            } else if (choice < 16) {
                requestPending_ = false;
                sendFrame({0x07, 0x00, 0x01});  // no file
            } else if (choice < 17) {
                requestPending_ = false;
                sendFrame({0x07, 0x00, 0x02});  // an error
            }
            return;  // else silence: the request stays unanswered
        }
        case 0x09:  // DataResponse: sequence, status
            if (payload.size() < 3 || current_ == nullptr || current_->next == 0) return;
            if (payload[1] != static_cast<std::uint8_t>(current_->next - 1)) return;
            if (payload[2] == 0) {
                sendNextBlock();
            } else {
                current_.reset();  // refused: this transfer is over
            }
            return;
        default:
            return;
    }
}

ScriptedPeripheral::Transfer ScriptedPeripheral::makeTransfer() {
    Transfer t;
    // Mostly its own file, as a real peripheral serves; now and then another.
    t.name = kNames[random_() % 4 != 0 ? 0 : random_() % std::size(kNames)];
    t.stream.assign(kHeaderLength, 0);
    std::copy(t.name.begin(), t.name.end(), t.stream.begin());
    const std::size_t content = random_() % 7 == 0 ? 0 : 1 + random_() % 1500;
    for (std::size_t i = 0; i < content; ++i) t.stream.push_back(static_cast<std::uint8_t>(random_()));
    for (std::size_t at = 0; at < t.stream.size();) {
        const std::size_t n = std::min(t.stream.size() - at, 1 + random_() % kMostPerBlock);
        t.blocks.emplace_back(t.stream.begin() + static_cast<long>(at),
                              t.stream.begin() + static_cast<long>(at + n));
        at += n;
    }
    t.checksumCorrect = random_() % 10 != 0;
    return t;
}

// With a request pending this is its answer, or the restart of the transfer that answers it:
// the library cannot tell the two apart, and either may become the file.
void ScriptedPeripheral::announce(Transfer transfer) {
    transfer.asked = requestPending_;
    const auto size = static_cast<std::uint32_t>(transfer.stream.size());
    std::uint32_t sum = std::accumulate(transfer.stream.begin(), transfer.stream.end(), 0u);
    if (!transfer.checksumCorrect) ++sum;
    announcedSizes_.insert(size);
    note((transfer.asked ? "announced " : "announced unasked ") + transfer.name + " of " +
         std::to_string(size) + (transfer.checksumCorrect ? "" : " with a wrong checksum"));
    Bytes response = {0x07, 0x00, 0x00};
    for (const Bytes& field : {bigEndian(size), bigEndian(sum)}) {
        response.insert(response.end(), field.begin(), field.end());
    }
    current_ = std::make_unique<Transfer>(std::move(transfer));
    sendFrame(response);
    sendNextBlock();
}

void ScriptedPeripheral::sendNextBlock() {
    Transfer& t = *current_;
    if (t.next == t.blocks.size()) {
        current_.reset();  // the last block was acknowledged
        return;
    }
    if (t.next + 1 == t.blocks.size()) {
        Bytes content(t.stream.begin() + kHeaderLength, t.stream.end());
        sent_[t.name].insert(content);
        if (!t.asked) {
            if (t.checksumCorrect) sentUnasked_.emplace_back(t.name, std::move(content));
        } else {
            if (t.checksumCorrect) asked_[t.name].insert(std::move(content));
            requestPending_ = false;  // the library's download ends with this block
        }
    }
    lastSequence_ = static_cast<std::uint8_t>(t.next);
    sendFrame(fileData(lastSequence_, t.blocks[t.next]));
    ++t.next;
    // Now and then the last block comes again, empty: a duplicate the library must not take.
    if (t.next == t.blocks.size() && random_() % 4 == 0) {
        note("empty duplicate of block " + std::to_string(lastSequence_));
        sendFrame(fileData(lastSequence_, {}));
    }
}

void ScriptedPeripheral::sendFrame(const Bytes& payload) {
    if (dataLine_ == nullptr) return;
    Bytes wire(3 + payload.size());
    wire[0] = kStart;
    wire[2] = static_cast<std::uint8_t>(payload.size());
    std::copy(payload.begin(), payload.end(), wire.begin() + 3);
    dataLine_->write(wire);
}

void ScriptedPeripheral::announceUnasked() {
    std::lock_guard guard(lock_);
    if (dataLine_ != nullptr) announce(makeTransfer());
}

void ScriptedPeripheral::sendStrayBlock() {
    std::lock_guard guard(lock_);
    // Often the sequence number the library saw last, which it may still be expecting.
    const auto sequence =
        random_() % 3 != 0 ? lastSequence_ : static_cast<std::uint8_t>(random_() % 8);
    Bytes bytes(random_() % 2 == 0 ? 0 : 1 + random_() % 20);
    for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(random_());
    note("stray block " + std::to_string(sequence) + " of " + std::to_string(bytes.size()));
    sendFrame(fileData(sequence, bytes));
}

void ScriptedPeripheral::resumeEarlierTransfer() {
    std::lock_guard guard(lock_);
    resumeInterrupted();
}

void ScriptedPeripheral::resumeInterrupted() {
    if (interrupted_ == nullptr) return;
    Transfer& t = *interrupted_;
    note("resumed " + t.name + " from block " + std::to_string(t.next));
    for (; t.next < t.blocks.size(); ++t.next) {
        sendFrame(fileData(static_cast<std::uint8_t>(t.next), t.blocks[t.next]));
    }
    interrupted_.reset();
}

void ScriptedPeripheral::vanishDataPort() {
    std::lock_guard guard(lock_);
    if (dataLine_ == nullptr) return;
    dataLine_->deactivate();
    dataLine_.reset();
}

std::set<Bytes> ScriptedPeripheral::askedContents(const std::string& name) const {
    std::lock_guard guard(lock_);
    const auto found = asked_.find(name);
    return found == asked_.end() ? std::set<Bytes>{} : found->second;
}

void ScriptedPeripheral::settle() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    // Two whole rounds of the reader after the line was found empty: the one in progress may
    // have had bytes in hand.
    std::optional<unsigned> emptyAt;
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard guard(lock_);
            if (dataLine_ == nullptr) return;
            if (dataLine_->pendingForPeer() != 0) {
                emptyAt.reset();
            } else if (!emptyAt) {
                emptyAt = readerRounds_;
            } else if (readerRounds_ >= *emptyAt + 2) {
                return;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::set<Bytes> ScriptedPeripheral::sentContents(const std::string& name) const {
    std::lock_guard guard(lock_);
    const auto found = sent_.find(name);
    return found == sent_.end() ? std::set<Bytes>{} : found->second;
}

void ScriptedPeripheral::note(std::string event) {
    journal_.push_back(std::move(event));
    if (journal_.size() > 6) journal_.pop_front();
}

std::string ScriptedPeripheral::journal() const {
    std::lock_guard guard(lock_);
    std::string text;
    for (const std::string& event : journal_) text += (text.empty() ? "" : "; ") + event;
    return text;
}

std::set<std::uint32_t> ScriptedPeripheral::announcedSizes() const {
    std::lock_guard guard(lock_);
    return announcedSizes_;
}

}  // namespace kest_check
