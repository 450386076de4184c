// Host control API: the lines behind the platform's COM stream driver.
//
// A COM device ("COMn:") is served by the built-in COM driver over one of two kinds of line:
//  - a simulated line inside the process, whose far end (the peer) is driven by a device model
//    through SimulatedLine;
//  - a host tty (a pseudo-terminal or a real adapter), mapped onto a COM number with mapHostTty.
// Either kind is listed in HKEY_LOCAL_MACHINE\Drivers\Active while it is active, the way the
// handheld lists a serial adapter while it is plugged in.
//
// Only sim/, tools/ and tests use this header; code written for the handheld sees the COM device
// through CreateFileW, ReadFile, WriteFile and the comm calls of <windows.h>.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stop_token>
#include <string>

namespace host::serial {

// One simulated serial line. The device end is what a user of "COMn:" sees; the peer end is the
// simulated device's side and is reached through the member functions below.
//
// Pacing: with a bit rate, every byte takes 10 bit times in each direction (115200 bit/s carries
// 11520 bytes/s); bytes queued in one direction leave one after the other. A WriteFile at the
// device end returns once its bytes have left (or when its write time-outs end it). With bit
// rate 0 the line is unpaced: bytes cross at once.
//
// Every member function is thread-safe. Handlers run with no platform lock held.
class SimulatedLine {
  public:
    virtual ~SimulatedLine() = default;

    // --- The peer end ---

    // Sends bytes towards the COM user. Never blocks: on a paced line the bytes arrive at the
    // device end one byte time apart, after any bytes still in flight.
    virtual void write(std::span<const std::uint8_t> bytes) = 0;

    // Takes up to out.size() bytes that the COM user has written (and that have crossed the
    // line). Waits up to `timeout` for the first byte; returns the number of bytes copied, 0 when
    // the time-out passed or `stop` was requested.
    virtual std::size_t read(std::span<std::uint8_t> out, std::chrono::milliseconds timeout,
                             std::stop_token stop = {}) = 0;

    // Bytes the COM user has written that the peer has not read yet.
    virtual std::size_t pendingForPeer() const = 0;

    // Waits until the peer has caught up with the COM user: every byte written at the device
    // end has crossed the line and been read, and the peer is back in read() waiting for more.
    // A peer that reads on one thread and handles what it read before it reads again has then
    // handled everything written so far. The wait also ends when the line is removed
    // (deactivate()). True when the peer has caught up; false when bytes are still unread at the
    // removal or when `timeout` passed first.
    virtual bool waitForPeerCaughtUp(std::chrono::milliseconds timeout) const = 0;

    // Line errors, as CE_* bits of <windows.h> (CE_FRAME, CE_OVERRUN, ...). They stay pending
    // until the COM user's ClearCommError reports and clears them; while pending, EV_ERR is set
    // for WaitCommEvent.
    virtual void injectErrors(std::uint32_t ceBits) = 0;

    // Modem and line events, as EV_* bits of <windows.h>: EV_CTS, EV_DSR, EV_RLSD, EV_RING,
    // EV_BREAK, EV_POWER. Each bit fires once for every open handle whose event mask holds it.
    virtual void raiseEvents(std::uint32_t evBits) = 0;

    // Called with true when the device end is opened (CreateFileW on its name succeeds) and with
    // false when that handle is closed, or when the device is removed while it is open. Runs on
    // the thread that opens or closes; it should not block for long, and may call any function
    // of this header except deactivate() of this same line (the removal would wait for the open
    // or close that runs the handler). Replaces any earlier handler; an empty function removes
    // it.
    virtual void setOpenHandler(std::function<void(bool open)> handler) = 0;

    // True while a handle on the device end is open.
    virtual bool isOpen() const = 0;

    // --- Presence as a COM device ---

    // Makes the line the device "COMn:": creates its driver key under
    // HKEY_LOCAL_MACHINE\Drivers\Host\Serial and activates it, so that it appears in
    // Drivers\Active. False (with the platform's last error set) when the line is already active
    // or "COMn:" is taken.
    virtual bool activate(unsigned comNumber) = 0;

    // Removes the device, as when a serial adapter is unplugged: calls blocked on open handles
    // return failure, further calls on them fail, and the Active key disappears. Nothing happens
    // when the line is not active.
    virtual void deactivate() = 0;

    // The COM number while active, 0 otherwise.
    virtual unsigned activeNumber() const = 0;
};

// A new simulated line; bitsPerSecond 0 makes it unpaced. The line lives while a shared_ptr to
// it is held or while it is active; destroying the last reference of an inactive line is enough
// to drop it.
std::shared_ptr<SimulatedLine> createSimulatedLine(std::uint32_t bitsPerSecond = 0);

// --- Taps ---

// Watches one COM port from inside the COM driver, whatever line serves it: the opening and the
// closing of its handle and every byte its user writes or reads, in the order they happen.
// Bytes are seen when WriteFile hands them to the line and when ReadFile takes them from it.
// The calls run on the thread of the COM call, with the port's lock held: a tap must return
// soon and must not call the port.
class PortTap {
  public:
    enum class Direction { Written, Read };  // by the user of "COMn:"

    virtual ~PortTap() = default;
    virtual void opened(unsigned comNumber) = 0;
    virtual void closed(unsigned comNumber) = 0;
    virtual void bytes(unsigned comNumber, Direction direction,
                       std::span<const std::uint8_t> bytes) = 0;
};

// Attaches the tap to "COMn:" (replacing any earlier one), now if the port is active and
// whenever it is activated again; a null tap detaches. A port without a tap pays nothing but a
// test of a null pointer it reads under its lock anyway.
void attachTap(unsigned comNumber, std::shared_ptr<PortTap> tap);

// --- Host ttys ---

// Maps "COMn:" onto a host tty path (such as /dev/ttyUSB0 or a pseudo-terminal's slave). The
// device is active while the path exists: the mapping checks once at once, and a watcher thread
// follows the path's folder (and, for a link, the folder of the tty it leads to) with inotify,
// removing the device as soon as the path or its tty goes and activating it anew as soon as it
// is back, so a tty that goes and comes back is listed afresh. Where a folder cannot be watched
// (it does not exist yet, or inotify is not available) the thread looks every 200 ms instead.
// Mapping a number again replaces its path (the old device is removed first).
// Opening the device opens the tty with O_NOCTTY in raw mode (cfmakeraw, VMIN = 0, VTIME = 0);
// its line settings are otherwise left as they are.
void mapHostTty(unsigned comNumber, const std::string& path);

// Removes the mapping and its device. The watcher thread ends with the last mapping.
void unmapHostTty(unsigned comNumber);

// Looks at every mapped path now, whatever the watcher has seen so far.
void rescanHostTtys();

}  // namespace host::serial
