// The messages received on the data port, on the monitor thread: dispatch by code, and the
// responses that are logged and stored. The file blocks are in file_download.cpp.
//
// The peripheral's bytes are untrusted: every handler first checks that the payload holds the
// fields it reads, and rejects a shorter message whole with a text naming it, rather than take
// missing bytes as zero and store a version or a size that the peripheral never sent.
#include <kfuncs.h>

#include <cstring>

#include "manager/device_manager.h"
#include "serial/frame.h"

namespace kest {
namespace {

constexpr BYTE kMessageFrameType = 0x00;
constexpr int kBigEndian = 0;

enum MessageCode : BYTE {
    kNull = 0x00,
    kVersionResponse = 0x02,
    kEvent = 0x03,
    kFileUploadResponse = 0x05,
    kFileDownloadResponse = 0x07,
    kFileData = 0x08,
    kDataResponse = 0x09,
};

// Bytes each layout needs, code byte included.
constexpr int kVersionResponseLength = 19;
constexpr int kEventLength = 2;
constexpr int kFileUploadResponseLength = 3;
constexpr int kDownloadStatusLength = 3;
constexpr int kAnnouncedTransferLength = 11;

constexpr int kVersionTextLength = 12;

}  // namespace

void DeviceManager::handleMessage(DeviceManager* manager, const Frame* frame) {
    if (frame->Type() != kMessageFrameType) return;
    const BYTE* const payload = frame->Payload();
    if (payload == nullptr) return;  // no code to dispatch on
    const int length = frame->PayloadLength();
    switch (payload[0]) {
        case kNull:
            manager->reportStatus("--- RX: Null Msg ---");
            manager->reportStatus("--------------------");
            break;
        case kVersionResponse:
            manager->handleVersionResponse(payload, length);
            break;
        case kEvent:
            manager->handleEvent(payload, length);
            break;
        case kFileUploadResponse:
            manager->handleFileUploadResponse(payload, length);
            break;
        case kFileDownloadResponse:
            manager->handleFileDownloadResponse(payload, length);
            break;
        case kFileData:
            manager->handleFileData(payload, length);
            break;
        case kDataResponse:
            manager->reportStatus("--- RX: DataResponse Msg ----");
            manager->reportStatus("--------------------------------");
            break;
        default:
            break;
    }
}

bool DeviceManager::payloadHolds(const char* message, int length, int needed) {
    if (length >= needed) return true;
    reportFormatted("%s too short: %d bytes", message, length);
    return false;
}

void DeviceManager::handleVersionResponse(const BYTE* payload, int length) {
    if (!payloadHolds("VersionResponse", length, kVersionResponseLength)) return;
    const int major = payload[2] >> 4;
    const DWORD minor = payload[2] & 0x0F;
    char text[kVersionTextLength + 1] = {};
    std::memcpy(text, payload + 3, kVersionTextLength);
    const int serial = static_cast<int>(ReadU32(payload, kBigEndian, 15));
    lastStatus = payload[1];

    reportStatus("--- RX: VersionResponse Msg ---");
    reportFormatted("Version: %d.%d (%s)", major, static_cast<int>(minor), text);
    reportFormatted("SerialNum: 0x%08X", static_cast<unsigned>(serial));
    reportFormatted("Status: (0x%02X)", lastStatus);
    reportStatus("-------------------------------");

    // Fields and flag change together: a reader never sees one version's number with
    // another's text, nor the flag set over a record the manager has just cleared.
    {
        Guard record(versionLock);
        versionMajor = major;
        versionMinor = minor;
        std::memcpy(versionText, text, sizeof versionText);
        serialNumber = serial;
        versionReceived.store(1, std::memory_order_release);
    }
    EventModify(wakeEvent, EVENT_SET);
}

void DeviceManager::handleEvent(const BYTE* payload, int length) {
    if (!payloadHolds("Event", length, kEventLength)) return;
    lastStatus = payload[1];
    reportStatus("--- RX: Event Msg ---");
    reportFormatted("Status: (0x%02X)", lastStatus);
    reportStatus("---------------------");
}

void DeviceManager::handleFileUploadResponse(const BYTE* payload, int length) {
    if (!payloadHolds("FileUploadResponse", length, kFileUploadResponseLength)) return;
    lastStatus = payload[1];
    reportStatus("--- RX: FileUploadResponse Msg ---");
    reportFormatted("Status: (0x%02X)", lastStatus);
    reportFormatted("UploadStatus: (0x%02X)", payload[2]);
    reportStatus("----------------------------------");
}

// Only the answer to the manager's request opens or ends a download; any other announcement is
// dropped. A response too short for what it announces ends the asked download: the peripheral
// sends nothing more for this request, and the download state would otherwise last until the
// next close.
void DeviceManager::handleFileDownloadResponse(const BYTE* payload, int length) {
    const std::optional<std::uint32_t> asked = askedTransfer();
    if (!payloadHolds("FileDownloadResponse", length, kDownloadStatusLength)) {
        if (asked) endDownload("Download response rejected.", *asked);
        return;
    }
    lastStatus = payload[1];
    const BYTE downloadStatus = payload[2];
    reportStatus("--- RX: FileDownloadResponse Msg ---");
    reportFormatted("Status: (0x%02X)", lastStatus);
    reportFormatted("DownloadStatus: (0x%02X)", downloadStatus);
    reportStatus("--------------------------------");

    if (!asked) {
        reportStatus("FileDownloadResponse without a request dropped.");
        return;
    }
    if (downloadStatus != 0) {
        endDownload(downloadStatus == 0x01 ? "No file to download" : "Unknown error", *asked);
        return;
    }
    if (!payloadHolds("FileDownloadResponse", length, kAnnouncedTransferLength)) {
        endDownload("Download response rejected.", *asked);
        return;
    }
    openTransfer(payload, *asked);
}

}  // namespace kest
