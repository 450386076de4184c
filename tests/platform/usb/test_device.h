// A device model for the stack's tests: vendor 0x1234, product 0x5678, one vendor interface with
// two alternate settings (bulk IN 0x81, bulk OUT 0x02, interrupt IN 0x83 in both). It records what
// reaches it; transfers wait in a queue for the test to complete them, unless auto-reply is on.
#pragma once

#include <host/usb.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

class TestDevice : public host::usb::DeviceModel {
  public:
    static host::usb::Descriptors standardDescriptors();

    explicit TestDevice(host::usb::Descriptors descriptors = standardDescriptors())
        : descriptors_(std::move(descriptors)) {}

    host::usb::Descriptors descriptors() override { return descriptors_; }
    // Vendor and class requests wait in the queue; standard requests are recorded and left to
    // the stack.
    bool control(const host::usb::RequestPtr& request) override;
    void transfer(const host::usb::RequestPtr& request) override;
    bool suspend(BYTE interfaceNumber) override;
    bool resume(BYTE interfaceNumber) override;
    bool disable(bool reset, BYTE interfaceNumber) override;
    void cancel(const host::usb::RequestPtr& request) override;
    bool resetPipe(BYTE endpoint) override;
    void unplugged() override { unpluggedCalls.fetch_add(1); }

    // The next request that reached the queue, or null after the time-out.
    host::usb::RequestPtr nextRequest(unsigned timeoutMs = 5000);
    std::vector<USB_DEVICE_REQUEST> standardRequests();
    std::vector<std::pair<char, BYTE>> powerCalls();  // ('s'|'r'|'d', interface number)
    std::vector<host::usb::RequestPtr> cancelled();
    std::vector<BYTE> pipeResets();  // endpoint addresses, 0 for the default pipe

    // Replies to every IN transfer at once with this data; accepts every OUT transfer.
    std::atomic<bool> autoReply{false};
    std::vector<BYTE> replyData;  // set before transfers start
    std::atomic<bool> powerResult{true};
    std::atomic<bool> resetPipeResult{true};
    std::atomic<int> unpluggedCalls{0};

  private:
    const host::usb::Descriptors descriptors_;
    std::mutex lock_;
    std::condition_variable arrived_;
    std::deque<host::usb::RequestPtr> queue_;
    std::vector<USB_DEVICE_REQUEST> standard_;
    std::vector<std::pair<char, BYTE>> power_;
    std::vector<host::usb::RequestPtr> cancelled_;
    std::vector<BYTE> pipeResets_;
};
