#include "peripheral/data_port.h"

#include <array>
#include <chrono>
#include <utility>

#include "peripheral/frame_reader.h"

namespace sim {

std::unique_ptr<DataPort> DataPort::activate(unsigned comNumber, std::uint32_t bitsPerSecond,
                                             FrameSink sink) {
    auto line = host::serial::createSimulatedLine(bitsPerSecond);
    if (!line->activate(comNumber)) return nullptr;
    return std::unique_ptr<DataPort>(new DataPort(std::move(line), comNumber, std::move(sink)));
}

DataPort::DataPort(std::shared_ptr<host::serial::SimulatedLine> line, unsigned number,
                   FrameSink sink)
    : line_(std::move(line)),
      number_(number),
      sink_(std::move(sink)),
      reader_([this](std::stop_token stop) { receive(std::move(stop)); }) {}

DataPort::~DataPort() {
    line_->deactivate();
    reader_.request_stop();
    reader_.join();
}

void DataPort::receive(std::stop_token stop) {
    FrameReader reader;
    std::array<std::uint8_t, 256> buffer{};
    while (!stop.stop_requested()) {
        // The long time-out only bounds one read; the stop request is what ends the loop.
        const std::size_t n = line_->read(buffer, std::chrono::hours(1), stop);
        for (std::size_t i = 0; i < n; ++i)
            if (auto frame = reader.push(buffer[i])) sink_(*frame);
    }
}

}  // namespace sim
