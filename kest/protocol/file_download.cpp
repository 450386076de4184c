// The transfer of the peripheral's file, on the monitor thread: the opening announced by
// FileDownloadResponse, the FileData blocks acknowledged one by one, and at the end the file
// QUOX\RUV\<name>.bin written from the whole transfer held in memory.
//
// A transfer belongs to the download the manager asked for: it opens only in answer to that
// request, and every way out of the download (its end, a close, the data channel closing) ends
// it for good. A file in the download directory is whole, was asked for, and never replaces one.
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
#include <new>
#include <optional>
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
constexpr int kPathCapacity = 64;  // every path here is at most 29 characters
constexpr int kWidePathCapacity = kPathCapacity;
constexpr int kExtensionLength = 4;  // ".bin", ".tmp"
constexpr int kLineCapacity = 64;    // a status text

constexpr char kNameRefused[] = "File name not allowed, aborting download.";
constexpr char kAlreadyExists[] = "File already exists, aborting download.";

// A name is refused when it holds a path separator or a drive colon (either could lead out of
// the download directory), a character the file system rejects, or, once widened, U+FFFD: the
// conversion's stand-in for bytes that are no text, which would name a file the peripheral
// never named. So are the characters that make a name list as another: C1 controls,
// bidirectional controls (U+202E turns "txt.bin" into "nib.txt" on screen), characters that
// show nothing, and non-characters.
bool invisibleOrControl(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x00AD || c == 0x061C ||
           (c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) ||
           (c >= 0x2060 && c <= 0x2064) || (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF ||
           (c >= 0xFDD0 && c <= 0xFDEF) || c >= 0xFFFD;
}

template <typename Char>
bool acceptableFileName(const Char* name, int length) {
    for (int i = 0; i < length; ++i) {
        const char32_t c = static_cast<std::make_unsigned_t<Char>>(name[i]);
        // A byte from 0x80 up is part of a multi-byte character, judged once widened.
        const bool refused = sizeof(Char) == 1 ? c < 0x20 || c == 0x7F : invisibleOrControl(c);
        if (refused) return false;
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

// The platform's file calls take wide paths.
void widen(const char* path, WCHAR (&wide)[kWidePathCapacity]) {
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide, kWidePathCapacity) == 0) wide[0] = 0;
}

bool somethingExistsAt(const char* path) {
    WCHAR wide[kWidePathCapacity];
    widen(path, wide);
    return GetFileAttributesW(wide) != INVALID_FILE_ATTRIBUTES;
}

// The file's place with ".tmp" for ".bin": the file is written there first.
void temporaryPathFor(const char* path, char (&temporary)[kPathCapacity]) {
    std::snprintf(temporary, sizeof temporary, "%.*s.tmp",
                  static_cast<int>(std::strlen(path)) - kExtensionLength, path);
}

// What a write cut short by a loss of power left beside the file's place.
void removeLeftoverOf(const char* path) {
    char temporary[kPathCapacity];
    temporaryPathFor(path, temporary);
    WCHAR wide[kWidePathCapacity];
    widen(temporary, wide);
    DeleteFileW(wide);
}

// A transfer whose last block is in, taken out of the record so that the file is written
// without holding the record's lock.
struct CompletedTransfer {
    std::uint32_t transfer;
    bool checksumMatches;
    std::unique_ptr<BYTE[]> buffer;
    int size;
    char path[kPathCapacity];
};

// Writes the content after the name header beside the file's place and moves it there once
// every byte is written and the file closed, with a move that never replaces: the file appears
// whole or not at all, and an existing one stays as it is. False, with the status line in
// `failure` and nothing left behind, when that cannot be done.
bool storeFile(const CompletedTransfer& t, char (&failure)[kLineCapacity]) {
    char temporary[kPathCapacity];
    temporaryPathFor(t.path, temporary);
    WCHAR wideTemporary[kWidePathCapacity];
    WCHAR widePath[kWidePathCapacity];
    widen(temporary, wideTemporary);
    widen(t.path, widePath);
    HANDLE file = CreateFileW(wideTemporary, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::snprintf(failure, sizeof failure, "CreateFile failed: %d",
                      static_cast<int>(GetLastError()));
        return false;
    }
    const auto length = static_cast<DWORD>(t.size - kNameHeaderLength);
    DWORD written = 0;
    bool whole = WriteFile(file, t.buffer.get() + kNameHeaderLength, length, &written, nullptr) &&
                 written == length;
    DWORD error = whole ? ERROR_SUCCESS : GetLastError();
    if (!CloseHandle(file) && whole) {
        whole = false;
        error = GetLastError();
    }
    if (!whole) {
        std::snprintf(failure, sizeof failure, "WriteFile failed: %d", static_cast<int>(error));
        DeleteFileW(wideTemporary);
        return false;
    }
    if (!MoveFileW(wideTemporary, widePath)) {
        error = GetLastError();
        DeleteFileW(wideTemporary);
        if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) {
            std::snprintf(failure, sizeof failure, "%s", kAlreadyExists);
        } else {
            std::snprintf(failure, sizeof failure, "MoveFile failed: %d", static_cast<int>(error));
        }
        return false;
    }
    return true;
}

// The last block is in and acknowledged: check the sum, then store the file.
void completeTransfer(DeviceManager& m, const CompletedTransfer& t) {
    if (!t.checksumMatches) {
        m.endDownload("File checksum error", t.transfer);
        return;
    }
    if (!m.createDownloadDirectories()) {
        m.endDownload("Unable to create file path.", t.transfer);
        return;
    }
    char failure[kLineCapacity];
    if (!storeFile(t, failure)) {
        m.endDownload(failure, t.transfer);
        return;
    }
    m.reportStatus("Created file:");
    m.endDownload(t.path, t.transfer);
}

}  // namespace

std::optional<std::uint32_t> DeviceManager::askedTransfer() {
    Guard record(transferLock);
    if (!downloadAsked) return std::nullopt;
    return transferGeneration;
}

void DeviceManager::endDownload(const char* line, std::uint32_t transfer) {
    reportStatus(line);
    {
        Guard record(transferLock);
        // The manager has left this download meanwhile (a close, a new request): this end is
        // not the current download's.
        if (transfer != transferGeneration) return;
        downloadAsked = false;
        transferOpen.store(0, std::memory_order_release);
        downloadDone.store(1, std::memory_order_release);
    }
    EventModify(wakeEvent, EVENT_SET);
}

void DeviceManager::openTransfer(const BYTE* payload, std::uint32_t transfer) {
    const DWORD announced = ReadU32(payload, kBigEndian, 3);
    char refusal[kLineCapacity] = {};
    bool restarted = false;
    {
        Guard record(transferLock);
        if (transfer != transferGeneration) return;  // the download was left meanwhile
        // A second announcement is the peripheral starting over: block 0 comes next.
        restarted = transferOpen.load(std::memory_order_acquire) != 0;
        transferOpen.store(0, std::memory_order_release);
        expectedChecksum = ReadU32(payload, kBigEndian, 7);
        bytesReceived = 0;
        writeIndex = 0;
        blockSequence = 0;
        runningChecksum = 0;
        downloadPath[0] = '\0';
        downloadBuffer.reset();
        // The size is held as a signed count.
        if (announced > static_cast<DWORD>(INT_MAX)) {
            fileSize = 0;
            std::snprintf(refusal, sizeof refusal, "Download size too large: %u",
                          static_cast<unsigned>(announced));
        } else {
            fileSize = static_cast<int>(announced);
            // Too short for the name header: there would be no name and a negative content
            // length.
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
        if (refusal[0] == '\0') transferOpen.store(1, std::memory_order_release);
    }
    if (restarted) reportStatus("Download restarted by the peripheral.");
    if (refusal[0] != '\0') endDownload(refusal, transfer);
}

void DeviceManager::handleFileData(const BYTE* payload, int length) {
    if (!payloadHolds("FileData", length, kBlockOverhead)) return;
    Guard record(transferLock);
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

    // Once per download, as soon as the whole name header and a byte after it are in, or with
    // the last block of a transfer of the header alone: an existing file is never replaced.
    if ((bytesReceived > kNameHeaderLength || bytesReceived == size) && downloadPath[0] == '\0') {
        if (!buildDownloadPath()) {
            endAndReject(kNameRefused);
            return;
        }
        if (somethingExistsAt(downloadPath)) {
            bytesReceived = size;
            runningChecksum = expectedChecksum;
            endAndReject(kAlreadyExists);
            return;
        }
        removeLeftoverOf(downloadPath);
    }

    if (bytesReceived != size) {
        ++blockSequence;  // wraps from 255 to 0
        record.unlock();
        sendDataResponse(sequence, kAccepted);
        return;
    }

    // The last block: the transfer is whole, and nothing the peripheral sends may touch it any
    // more. What is left is this thread's writing of the file.
    transferOpen.store(0, std::memory_order_release);
    downloadAsked = false;
    CompletedTransfer completed{
        transfer, runningChecksum == expectedChecksum, std::move(downloadBuffer), size, {}};
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
