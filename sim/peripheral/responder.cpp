#include "peripheral/responder.h"

#include <utility>

namespace sim {
namespace {

constexpr std::uint8_t kMessageFrameType = 0x00;
constexpr std::size_t kShortVersionLength = 3;

}  // namespace

Responder::Responder(PeripheralIdentity identity, PeripheralFile file, UnaskedStatus unasked,
                     FaultSet faults, Link link)
    : identity_(identity),
      file_(std::move(file)),
      unasked_(unasked),
      link_(std::move(link)),
      faults_(faults) {}

void Responder::handle(const Frame& frame) {
    const std::optional<std::uint8_t> code = frame.code();
    if (frame.type != kMessageFrameType || !code) return;
    std::lock_guard guard(mutex_);
    switch (*code) {
        case code::kVersionRequest: {
            std::vector<std::uint8_t> payload = versionResponse(identity_);
            if (faults_.take(Fault::ShortVersion)) payload.resize(kShortVersionLength);
            sendPayload(payload);
            break;
        }
        case code::kFileDownloadRequest:
            startDownload();
            break;
        case code::kDataResponse:
            acknowledged(frame);
            break;
        case code::kActivatePeripheral:
            if (frame.payload.size() >= 2) activations_.push_back(frame.payload[1]);
            break;
        default:
            break;
    }
}

void Responder::powerOff() {
    std::lock_guard guard(mutex_);
    plan_.reset();
}

FaultSet Responder::faults() const {
    std::lock_guard guard(mutex_);
    return faults_;
}

void Responder::setFaults(const FaultSet& faults) {
    std::lock_guard guard(mutex_);
    faults_ = faults;
}

std::vector<std::uint8_t> Responder::activations() const {
    std::lock_guard guard(mutex_);
    return activations_;
}

DownloadProgress Responder::download() const {
    std::lock_guard guard(mutex_);
    return progress_;
}

bool Responder::sendEvent() {
    return sendPayload(eventMessage(unasked_.event));
}

bool Responder::sendFileUploadResponse() {
    return sendPayload(fileUploadResponse(unasked_.upload, unasked_.uploadStatus));
}

bool Responder::sendNull() {
    return sendPayload(nullMessage());
}

bool Responder::sendDataResponse(std::uint8_t sequence, std::uint8_t status) {
    return sendPayload(dataResponse(sequence, status));
}

bool Responder::sendPayload(std::span<const std::uint8_t> payload) {
    return link_.send(encodeFrame(kMessageFrameType, payload));
}

// Called with mutex_ held, as are the functions below.
void Responder::startDownload() {
    // The wire faults are taken first: their offsets count from the response's first byte.
    wire_ = WireFaults(faults_);
    plan_.emplace(file_, faults_);
    progress_ = {progress_.requests + 1, 0, plan_->frames().size(), false, false, false};
    sendDownloadBytes(plan_->response());
    if (plan_->servesFile())
        sendNextBlock();
    else
        plan_.reset();
}

void Responder::acknowledged(const Frame& frame) {
    // 09 sequence status 00; without a status byte there is nothing to go on.
    if (!plan_ || frame.payload.size() < 3) return;
    if (frame.payload[2] == kBlockRejected) {
        progress_.rejected = true;
        plan_.reset();
    } else if (progress_.framesSent == plan_->frames().size()) {
        progress_.finished = true;
        plan_.reset();
    } else {
        sendNextBlock();
    }
}

void Responder::sendDownloadBytes(std::span<const std::uint8_t> payload) {
    link_.send(wire_.pass(encodeFrame(kMessageFrameType, payload)));
}

void Responder::sendNextBlock() {
    if (plan_->vanishAt() == progress_.framesSent) {
        progress_.vanished = true;
        plan_.reset();
        link_.vanish();
        return;
    }
    sendDownloadBytes(plan_->frames()[progress_.framesSent]);
    ++progress_.framesSent;
}

}  // namespace sim
