// The transfer of the peripheral's file, on the monitor thread: the opening announced by
// FileDownloadResponse, the FileData blocks acknowledged one by one, and at the end the file
// QUOX\RUV\<name>.bin written from the whole transfer held in memory.
//
// Every size and every name here comes from the peripheral and is untrusted. The buffer is
// sized by the announcement and no block may carry the count past it; the name header must not
// lead the file out of the download directory.
#include <kfuncs.h>
#include <windows.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <type_traits>

#include "manager/device_manager.h"
#include "serial/frame.h"

namespace kest {
namespace {

constexpr int kBigEndian = 0;
constexpr int kNameHeaderLength = 16;
// A FileData payload: code, sequence number, the stream bytes, one trailing byte.
constexpr int kBlockOverhead = 3;
constexpr BYTE kAccepted = 0x00;
constexpr BYTE kRejected = 0x01;
constexpr int kWidePathCapacity = 64;

constexpr char kNameRefused[] = "File name not allowed, aborting download.";

// A name is refused when it holds a path separator or a drive colon (either could lead out of
// the download directory), a character the file system rejects, or, once widened, U+FFFD: the
// conversion's stand-in for bytes that are no text, which would name a file the peripheral
// never named.
template <typename Char>
bool acceptableFileName(const Char* name, int length) {
    for (int i = 0; i < length; ++i) {
        const char32_t c = static_cast<std::make_unsigned_t<Char>>(name[i]);
        if (c < 0x20 || c == 0x7F || c == 0xFFFD) return false;
        switch (c) {
            case '\\':
            case '/':
            case ':':
            case '*':
            case '?':
            case '"':
            case '<':
            case '>':
            case '|':
                return false;
            default:
                break;
        }
    }
    return true;
}

// The platform's file calls take wide paths; every path here is at most 29 characters.
void widen(const char* path, WCHAR (&wide)[kWidePathCapacity]) {
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide, kWidePathCapacity) == 0) wide[0] = 0;
}

bool somethingExistsAt(const char* path) {
    WCHAR wide[kWidePathCapacity];
    widen(path, wide);
    return GetFileAttributesW(wide) != INVALID_FILE_ATTRIBUTES;
}

// A transfer whose last block is in, taken out of the record so that the file is written
// without holding the record's lock.
struct CompletedTransfer {
    std::uint32_t transfer;
    bool checksumMatches;
    bool nameAccepted;
    std::unique_ptr<BYTE[]> buffer;
    int size;
    char path[64];
};

// The last block is in and acknowledged: check the sum, then write the content after the name
// header with one write.
void completeTransfer(DeviceManager& m, const CompletedTransfer& t) {
    if (!t.checksumMatches) {
        m.endDownload("File checksum error", t.transfer);
        return;
    }
    if (!t.nameAccepted) {
        m.endDownload(kNameRefused, t.transfer);
        return;
    }
    if (!m.createDownloadDirectories()) {
        m.endDownload("Unable to create file path.", t.transfer);
        return;
    }
    WCHAR widePath[kWidePathCapacity];
    widen(t.path, widePath);
    HANDLE file = CreateFileW(widePath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        char line[64];
        std::snprintf(line, sizeof line, "CreateFile failed: %d", static_cast<int>(GetLastError()));
        m.endDownload(line, t.transfer);
        return;
    }
    // A failed write is not detected: the file is reported as created all the same.
    DWORD written = 0;
    WriteFile(file, t.buffer.get() + kNameHeaderLength,
              static_cast<DWORD>(t.size - kNameHeaderLength), &written, nullptr);
    CloseHandle(file);
    m.reportStatus("Created file:");
    m.endDownload(t.path, t.transfer);
}

}  // namespace

std::uint32_t DeviceManager::currentTransfer() {
    std::lock_guard record(transferLock);
    return transferGeneration;
}

void DeviceManager::endDownload(const char* line, std::uint32_t transfer) {
    reportStatus(line);
    {
        std::lock_guard record(transferLock);
        // The manager has started another download (or closed) meanwhile: this end is not its.
        if (transfer != transferGeneration) return;
        transferOpen.store(0, std::memory_order_release);
        downloadDone.store(1, std::memory_order_release);
    }
    EventModify(wakeEvent, EVENT_SET);
}

void DeviceManager::openTransfer(const BYTE* payload) {
    const DWORD announced = ReadU32(payload, kBigEndian, 3);
    char refusal[64] = {};
    std::unique_lock record(transferLock);
    const std::uint32_t transfer = transferGeneration;
    expectedChecksum = ReadU32(payload, kBigEndian, 7);
    bytesReceived = 0;
    writeIndex = 0;
    downloadBuffer.reset();
    // The size is held as a signed count.
    if (announced > static_cast<DWORD>(INT_MAX)) {
        fileSize = 0;
        std::snprintf(refusal, sizeof refusal, "Download size too large: %u",
                      static_cast<unsigned>(announced));
    } else {
        fileSize = static_cast<int>(announced);
        // Too short for the name header: there would be no name and a negative content length.
        if (announced < kNameHeaderLength) {
            std::snprintf(refusal, sizeof refusal, "Download size too small: %u",
                          static_cast<unsigned>(announced));
        } else {
            // Without throwing: an exception here would end the monitor thread.
            downloadBuffer.reset(new (std::nothrow) BYTE[announced]);
            if (downloadBuffer == nullptr) {
                std::snprintf(refusal, sizeof refusal, "No memory for a download of %u bytes",
                              static_cast<unsigned>(announced));
            }
        }
    }
    if (refusal[0] == '\0') {
        transferOpen.store(1, std::memory_order_release);
        return;
    }
    record.unlock();
    endDownload(refusal, transfer);
}

void DeviceManager::handleFileData(const BYTE* payload, int length) {
    if (!payloadHolds("FileData", length, kBlockOverhead)) return;
    std::unique_lock record(transferLock);
    const std::uint32_t transfer = transferGeneration;
    const BYTE sequence = blockSequence;
    // Each refusal lets go of the record before it acknowledges and reports.
    const auto rejectAndEnd = [&](const char* line) {
        record.unlock();
        sendDataResponse(sequence, kRejected);
        endDownload(line, transfer);
    };
    const auto endAndReject = [&](const char* line) {
        record.unlock();
        endDownload(line, transfer);
        sendDataResponse(sequence, kRejected);
    };
    if (transferOpen.load(std::memory_order_acquire) == 0) {
        record.unlock();
        reportStatus("FileData without a download dropped.");
        return;
    }
    if (payload[1] != sequence) {
        rejectAndEnd("Download File sequence error");
        return;
    }
    const int count = length - kBlockOverhead;
    const int size = fileSize;
    if (count > size - bytesReceived) {
        rejectAndEnd("Download File larger than announced");
        return;
    }

    bytesReceived += count;
    for (int i = 0; i < count; ++i) {
        const BYTE byte = payload[2 + i];
        runningChecksum += byte;
        downloadBuffer[static_cast<std::size_t>(writeIndex)] = byte;
        ++writeIndex;
    }

    // Once per download, as soon as the whole name header is in.
    if (bytesReceived > kNameHeaderLength && downloadPath[0] == '\0') {
        if (!buildDownloadPath()) {
            endAndReject(kNameRefused);
            return;
        }
        if (somethingExistsAt(downloadPath)) {
            bytesReceived = size;
            runningChecksum = expectedChecksum;
            endAndReject("File already exists, aborting download.");
            return;
        }
    }

    if (bytesReceived != size) {
        ++blockSequence;  // wraps from 255 to 0
        record.unlock();
        sendDataResponse(sequence, kAccepted);
        return;
    }

    const bool checksumMatches = runningChecksum == expectedChecksum;
    // A transfer of exactly the name header: the path is built only now, with no existence
    // check, and an existing file of that name is replaced by an empty one.
    const bool nameAccepted = !checksumMatches || downloadPath[0] != '\0' || buildDownloadPath();
    CompletedTransfer completed{
        transfer, checksumMatches, nameAccepted, std::move(downloadBuffer), size, {}};
    std::memcpy(completed.path, downloadPath, sizeof completed.path);
    record.unlock();
    sendDataResponse(sequence, kAccepted);
    completeTransfer(*this, completed);
}

bool DeviceManager::buildDownloadPath() {
    // Only called once the buffer holds the whole name header.
    const auto* name = reinterpret_cast<const char*>(downloadBuffer.get());
    int length = 0;
    while (length < kNameHeaderLength && name[length] != '\0') ++length;
    if (!acceptableFileName(name, length)) return false;
    // The bytes are widened on their way to the file system, and what a multi-byte sequence
    // becomes there is the conversion's business: the name is checked again as the file
    // system will see it. Each byte gives at most one wide character.
    WCHAR wideName[kNameHeaderLength];
    const int wideLength =
        length == 0 ? 0 : MultiByteToWideChar(CP_ACP, 0, name, length, wideName, kNameHeaderLength);
    if (length != 0 && wideLength == 0) return false;
    if (!acceptableFileName(wideName, wideLength)) return false;
    std::snprintf(downloadPath, sizeof downloadPath, "QUOX\\RUV\\%.*s.bin", length, name);
    return true;
}

bool DeviceManager::createDownloadDirectories() {
    if (!CreateDirectoryW(TEXT("QUOX"), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        reportFormatted("CreateDirectory(1) = %d", static_cast<int>(GetLastError()));
        return false;
    }
    if (!CreateDirectoryW(TEXT("QUOX\\RUV"), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        reportFormatted("CreateDirectory(2) = %d", static_cast<int>(GetLastError()));
        return false;
    }
    return true;
}

}  // namespace kest
