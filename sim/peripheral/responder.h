// The peripheral's side of the message protocol. It answers VersionRequest with its
// VersionResponse and FileDownloadRequest with a FileDownloadResponse followed by the FileData
// blocks, each block after the library's DataResponse for the one before (a DataResponse with
// status 1 stops the transfer); it records the function selector of every ActivatePeripheral,
// and sends Event, FileUploadResponse, Null and DataResponse when told to. Frames of a type
// other than 0 are not answered.
//
// Thread-safe: frames arrive on the data port's reader thread, faults and unasked messages come
// from whoever drives the peripheral.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "peripheral/download_plan.h"
#include "peripheral/faults.h"
#include "peripheral/frame.h"
#include "peripheral/messages.h"
#include "peripheral/wire_faults.h"

namespace sim {

// How far the last download got.
struct DownloadProgress {
    unsigned requests = 0;       // FileDownloadRequests answered since start
    std::size_t framesSent = 0;  // FileData frames of the last download sent so far
    std::size_t framesPlanned = 0;
    bool rejected = false;  // stopped by a DataResponse with status 1
    bool finished = false;  // every frame sent and the last one acknowledged
    bool vanished = false;  // the data port went away in the middle
    bool operator==(const DownloadProgress&) const = default;
};

class Responder {
  public:
    // Where the answers go: send puts bytes on the data line (false when it is not there);
    // vanish takes the data port away.
    struct Link {
        std::function<bool(std::span<const std::uint8_t>)> send;
        std::function<void()> vanish;
    };

    Responder(PeripheralIdentity identity, PeripheralFile file, UnaskedStatus unasked,
              FaultSet faults, Link link);

    void handle(const Frame& frame);
    // The data port went away with the power: a download in progress ends with it.
    void powerOff();

    FaultSet faults() const;
    void setFaults(const FaultSet& faults);

    std::vector<std::uint8_t> activations() const;
    DownloadProgress download() const;

    // Unasked messages, with the Status bytes of the profile. False when the data port is not
    // there.
    bool sendEvent();
    bool sendFileUploadResponse();
    bool sendNull();
    bool sendDataResponse(std::uint8_t sequence, std::uint8_t status);

  private:
    bool sendPayload(std::span<const std::uint8_t> payload);
    void startDownload();
    void acknowledged(const Frame& frame);
    void sendDownloadBytes(std::span<const std::uint8_t> payload);
    void sendNextBlock();

    const PeripheralIdentity identity_;
    const PeripheralFile file_;
    const UnaskedStatus unasked_;
    const Link link_;

    mutable std::mutex mutex_;
    FaultSet faults_;
    std::vector<std::uint8_t> activations_;
    std::optional<DownloadPlan> plan_;  // while a download is in progress
    WireFaults wire_;
    DownloadProgress progress_;
};

}  // namespace sim
