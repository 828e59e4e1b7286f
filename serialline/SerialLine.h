// One asynchronous serial line as plc-host and plc-sim take it: the rates
// both accept, the parity words, the character time and t3.5, and the raw
// termios set-up of a tty or pty.
#pragma once

#include <chrono>
#include <string>

namespace serialline {

struct LineSettings {
    long baud = 19200;  // the usual Modbus default: 19,200 baud, 8 data bits, even parity, 1 stop bit
    char parity = 'E';  // 'N', 'E' or 'O'
    int dataBits = 8;
    int stopBits = 1;
};

bool baudSupported(long baud);
// "300, 600, ..., 921600"
std::string supportedBauds();
// The configuration error for a rate outside the table, naming the supported ones.
std::string unsupportedBaud(long baud);

// N, E, O, or none, even, odd in any case; false for anything else.
bool parseParity(const std::string& word, char& parity);
// For messages: what parseParity takes.
extern const char* const kParityWords;

int bitsPerChar(const LineSettings& line);
// Wire time of one character, rounded, at least 1 us.
long charUs(const LineSettings& line);
// The silence that ends a frame: 3.5 characters up to 19,200 baud, 1.75 ms above.
long frameGapUs(const LineSettings& line);

// Makes fd raw (no echo, no line editing, reads return what is there). With
// `line`, also its speed and character format; a pty keeps no parity and
// reports that as a failure, which is ignored once raw mode and speed are in.
bool makeRaw(int fd, const LineSettings* line, std::string& error);

// The rate fd's terminal settings hold (on a pty: what its other end last
// set), or 0 when they cannot be read or name no rate of the table.
long lineBaud(int fd);

// Either end of a pseudo-terminal pair.
bool isPseudoTerminal(int fd);

// The kernel's RS-485 mode, for a UART that drives the transceiver's
// transmit enable itself (on-board ports of panel boards): left as the system
// set it, switched off, or RTS raised (or lowered) while a frame is sent.
enum class Rs485 { AsSystem, Off, RtsHigh, RtsLow };
// off, rts-high or rts-low; false for anything else.
bool parseRs485(const std::string& word, Rs485& mode);
extern const char* const kRs485Words;
// Puts the port into `mode`; false, with the reason, where the port has no such mode.
bool setRs485(int fd, Rs485 mode, std::string& error);

// How long before a byte or a request is due to stop sleeping and watch the
// clock instead. A timed wait ends late by an amount that depends on the
// machine (an idle virtual machine wakes slowly, a loaded one later still), so
// the margin follows how late recent waits woke, within fixed bounds.
class WakeMargin {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr long kMinUs = 150;
    static constexpr long kMaxUs = 1000;  // the most spent spinning before one deadline

    std::chrono::microseconds get() const { return std::chrono::microseconds(marginUs_); }
    // A wait that was to end at `target` ended at `woke`.
    void observe(Clock::time_point target, Clock::time_point woke);

private:
    long lateUs_ = 0;  // the recent worst, fading with every wait
    long marginUs_ = kMinUs;
};

}  // namespace serialline
