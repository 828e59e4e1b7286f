#include "SerialLink.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace host {

namespace {

bool toSpeed(int baud, speed_t& out)
{
    static const struct {
        int baud;
        speed_t speed;
    } table[] = {{300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},     {4800, B4800},
                 {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
                 {230400, B230400}, {460800, B460800}, {921600, B921600}};
    for (const auto& e : table)
        if (e.baud == baud) {
            out = e.speed;
            return true;
        }
    return false;
}

timespec toTimespec(std::chrono::nanoseconds d)
{
    long long ns = std::max<long long>(0, d.count());
    return timespec{static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
}

// Either end of a pseudo-terminal pair.
bool isPseudoTerminal(int fd)
{
    if (ptsname(fd))
        return true;
    const char* name = ttyname(fd);
    return name && std::strncmp(name, "/dev/pts/", 9) == 0;
}

}  // namespace

SerialLink::SerialLink(const LinkSettings& settings) : settings_(settings)
{
    const int bitsPerChar = 1 + settings_.dataBits + (settings_.parity == 'N' ? 0 : 1) + settings_.stopBits;
    charUs_ = std::max(1L, static_cast<long>(bitsPerChar * 1000000.0 / settings_.baud + 0.5));
    // Up to 19200 baud the gap is 3.5 characters; above it a fixed 1.75 ms.
    t35Us_ = settings_.baud <= 19200 ? static_cast<long>(3.5 * bitsPerChar * 1000000.0 / settings_.baud + 0.5) : 1750;
}

SerialLink::~SerialLink() { close(); }

void SerialLink::close()
{
    if (fd_ >= 0 && own_)
        ::close(fd_);
    fd_ = -1;
}

bool SerialLink::open(std::string& error)
{
    if (settings_.device.empty()) {
        error = "no serial device configured (link.device), and --simulate not given";
        return false;
    }
    int fd = ::open(settings_.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + settings_.device + ": " + std::strerror(errno);
        return false;
    }
    return attach(fd, true, error);
}

bool SerialLink::attach(int fd, bool own, std::string& error)
{
    close();
    fd_ = fd;
    own_ = own;
    if (!configure(error)) {
        close();
        return false;
    }
    return true;
}

bool SerialLink::configure(std::string& error)
{
    const int flags = fcntl(fd_, F_GETFL);
    if (flags < 0 || fcntl(fd_, F_SETFL, flags | O_NONBLOCK) < 0) {
        error = std::string("fcntl: ") + std::strerror(errno);
        return false;
    }
    termios tio{};
    if (tcgetattr(fd_, &tio) != 0) {
        error = settings_.device + " is not a serial line: " + std::strerror(errno);
        return false;
    }
    speed_t speed;
    if (!toSpeed(settings_.baud, speed)) {
        error = "baud rate " + std::to_string(settings_.baud) + " is not supported by the serial line";
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD | (settings_.dataBits == 7 ? CS7 : CS8);
    if (settings_.parity != 'N')
        tio.c_cflag |= PARENB | (settings_.parity == 'O' ? PARODD : 0);
    if (settings_.stopBits == 2)
        tio.c_cflag |= CSTOPB;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    if (tcsetattr(fd_, TCSANOW, &tio) != 0) {
        // A pty keeps no parity and the C library reports that as a failure;
        // what matters there (raw mode, speed) has been applied all the same.
        const int why = errno;
        termios now{};
        if (tcgetattr(fd_, &now) != 0 || cfgetospeed(&now) != speed || (now.c_lflag & ICANON)) {
            error = "cannot set up the serial line: " + std::string(std::strerror(why));
            return false;
        }
    }
    tcflush(fd_, TCIOFLUSH);
    requestGapUs_ = settings_.gapUs >= 0 ? settings_.gapUs : (isPseudoTerminal(fd_) ? 0 : t35Us_);
    return true;
}

int SerialLink::read(uint8_t* buffer, int capacity)
{
    if (fd_ < 0)
        return -1;
    const ssize_t n = ::read(fd_, buffer, static_cast<size_t>(capacity));
    if (n > 0)
        return static_cast<int>(n);
    if (n < 0 && errno != EAGAIN && errno != EINTR)
        return -1;  // a dead line, or a pty whose other end has gone
    // A raw tty reads 0 both when nothing waits and after a hang-up.
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR)) && !(p.revents & POLLIN) ? -1 : 0;
}

bool SerialLink::waitReadable(Clock::time_point until)
{
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (now >= until || fd_ < 0)
            return false;
        pollfd p{fd_, POLLIN, 0};
        timespec ts = toTimespec(until - now);
        const int rc = ppoll(&p, 1, &ts, nullptr);
        if (rc > 0)
            return true;
        if (rc < 0 && errno != EINTR)
            return true;  // let read() report the failure
    }
}

bool SerialLink::write(const uint8_t* data, int length, Clock::time_point until)
{
    int done = 0;
    while (done < length) {
        const ssize_t n = ::write(fd_, data + done, static_cast<size_t>(length - done));
        if (n > 0) {
            done += static_cast<int>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            pollfd p{fd_, POLLOUT, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) == 0)
                return false;
        } else {
            return false;
        }
    }
    return true;
}

void SerialLink::discardInput()
{
    if (fd_ >= 0)
        tcflush(fd_, TCIFLUSH);
}

}  // namespace host
