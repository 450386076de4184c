#include "serial/framed_port.h"

#include <memory>

namespace kest {

namespace {

// Reads are made in blocks of this size.
constexpr int kReadBlock = 32;

}  // namespace

FramedPort::FramedPort() : FramedPort("COM1:", 9600) {}

FramedPort::FramedPort(const char* name, DWORD rate) : SerialPort(name, rate) {
    AddErrorHandler(this, callback<&FramedPort::RelayError>);
}

FramedPort::~FramedPort() {
    RemoveErrorHandler(this, callback<&FramedPort::RelayError>);
}

int FramedPort::AddMessageHandler(void* target, CallbackFunction function) {
    return messageHandlers.add(target, function);
}

int FramedPort::RemoveMessageHandler(const void* target, CallbackFunction function) {
    return messageHandlers.remove(target, function);
}

int FramedPort::AddFrameHandler(void* target, CallbackFunction function) {
    return frameHandlers.add(target, function);
}

int FramedPort::RemoveFrameHandler(const void* target, CallbackFunction function) {
    return frameHandlers.remove(target, function);
}

int FramedPort::SendFrame(const Frame& frame) {
    return Write(frame.Bytes(), frame.Length());
}

void FramedPort::ReceiveData() {
    BYTE buffer[kReadBlock];
    for (;;) {
        const int received = Read(buffer, kReadBlock);
        if (received <= 0) return;
        for (int i = 0; i < received; ++i) {
            const std::unique_ptr<Frame> frame = decoder.Push(buffer[i]);
            if (frame) frameHandlers.invoke(toWord(static_cast<const Frame*>(frame.get())));
        }
    }
}

void FramedPort::RelayError(FramedPort* port, const char* line) {
    port->messageHandlers.invoke(toWord(line));
}

}  // namespace kest
