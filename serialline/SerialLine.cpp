#include "SerialLine.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace serialline {

namespace {

const struct {
    long baud;
    speed_t speed;
} kRates[] = {{300, B300},       {600, B600},       {1200, B1200},    {2400, B2400},   {4800, B4800},
              {9600, B9600},     {19200, B19200},   {38400, B38400},  {57600, B57600}, {115200, B115200},
              {230400, B230400}, {460800, B460800}, {921600, B921600}};

bool toSpeed(long baud, speed_t& out)
{
    for (const auto& r : kRates)
        if (r.baud == baud) {
            out = r.speed;
            return true;
        }
    return false;
}

}  // namespace

const char* const kParityWords = "N, E or O (none, even, odd)";

long lineBaud(int fd)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        return 0;
    const speed_t speed = cfgetospeed(&t);
    for (const auto& r : kRates)
        if (r.speed == speed)
            return r.baud;
    return 0;
}

bool baudSupported(long baud)
{
    speed_t ignored;
    return toSpeed(baud, ignored);
}

std::string supportedBauds()
{
    std::string out;
    for (const auto& r : kRates)
        out += (out.empty() ? "" : ", ") + std::to_string(r.baud);
    return out;
}

std::string unsupportedBaud(long baud)
{
    return "baud rate " + std::to_string(baud) + " is not supported (supported: " + supportedBauds() + ")";
}

bool parseParity(const std::string& word, char& parity)
{
    std::string w;
    for (char c : word)
        w += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    static const struct {
        const char* letter;
        const char* word;
        char parity;
    } kWords[] = {{"n", "none", 'N'}, {"e", "even", 'E'}, {"o", "odd", 'O'}};
    for (const auto& k : kWords)
        if (w == k.letter || w == k.word) {
            parity = k.parity;
            return true;
        }
    return false;
}

const char* const kRs485Words = "off, rts-high or rts-low";

bool parseRs485(const std::string& word, Rs485& mode)
{
    static const struct {
        const char* word;
        Rs485 mode;
    } kModes[] = {{"off", Rs485::Off}, {"rts-high", Rs485::RtsHigh}, {"rts-low", Rs485::RtsLow}};
    for (const auto& k : kModes)
        if (word == k.word) {
            mode = k.mode;
            return true;
        }
    return false;
}

bool setRs485(int fd, Rs485 mode, std::string& error)
{
    if (mode == Rs485::AsSystem)
        return true;
    serial_rs485 rs{};
    if (mode != Rs485::Off)
        rs.flags = SER_RS485_ENABLED | (mode == Rs485::RtsHigh ? SER_RS485_RTS_ON_SEND : SER_RS485_RTS_AFTER_SEND);
    if (ioctl(fd, TIOCSRS485, &rs) == 0)
        return true;
    error = std::string("this port has no RS-485 mode (") + std::strerror(errno) + ")";
    return false;
}

int bitsPerChar(const LineSettings& line) { return 1 + line.dataBits + (line.parity == 'N' ? 0 : 1) + line.stopBits; }

long charUs(const LineSettings& line) { return std::max(1L, std::lround(bitsPerChar(line) * 1e6 / double(line.baud))); }

long frameGapUs(const LineSettings& line)
{
    return line.baud <= 19200 ? std::lround(3.5 * bitsPerChar(line) * 1e6 / double(line.baud)) : 1750;
}

bool makeRaw(int fd, const LineSettings* line, std::string& error)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        error = std::string("not a serial line: ") + std::strerror(errno);
        return false;
    }
    speed_t speed = 0;
    if (line && !toSpeed(line->baud, speed)) {
        error = unsupportedBaud(line->baud);
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (line) {
        tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
        tio.c_cflag |= CLOCAL | CREAD | (line->dataBits == 7 ? CS7 : CS8);
        if (line->parity != 'N')
            tio.c_cflag |= PARENB | (line->parity == 'O' ? PARODD : 0);
        if (line->stopBits == 2)
            tio.c_cflag |= CSTOPB;
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
    }
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        const int why = errno;
        termios now{};
        if (tcgetattr(fd, &now) != 0 || (line && cfgetospeed(&now) != speed) || (now.c_lflag & ICANON)) {
            error = "cannot set up the serial line: " + std::string(std::strerror(why));
            return false;
        }
    }
    tcflush(fd, TCIOFLUSH);
    return true;
}

bool isPseudoTerminal(int fd)
{
    if (ptsname(fd))
        return true;
    const char* name = ttyname(fd);
    return name && std::strncmp(name, "/dev/pts/", 9) == 0;
}

void WakeMargin::observe(Clock::time_point target, Clock::time_point woke)
{
    // Bounded before narrowing: a long is 32 bits on the panel, and a suspended machine wakes hours late.
    const auto late = std::chrono::duration_cast<std::chrono::microseconds>(woke - target).count();
    const long boundedLate = static_cast<long>(std::clamp<decltype(late)>(late, -kMaxUs, kMaxUs));
    // One slow wake-up raises the margin at once; it fades over a few dozen waits.
    lateUs_ = std::max(boundedLate, lateUs_ - lateUs_ / 16);
    marginUs_ = std::clamp(lateUs_ + lateUs_ / 4 + 20, kMinUs, kMaxUs);
}

}  // namespace serialline
