#include "HostLink.h"

#include <algorithm>
#include <cerrno>
#include <climits>
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

const char* statusName(AnswerStatus s)
{
    switch (s) {
    case AnswerStatus::Ok: return "ok";
    case AnswerStatus::Broadcast: return "broadcast";
    case AnswerStatus::Timeout: return "time-out";
    case AnswerStatus::BadCrc: return "bad CRC";
    case AnswerStatus::Exception: return "exception";
    case AnswerStatus::Mismatch: return "foreign frame";
    case AnswerStatus::EchoLost: return "no echo";
    case AnswerStatus::LineError: return "line error";
    }
    return "?";
}

HostLink::HostLink(const LinkSettings& settings, CrcFunction crc) : settings_(settings), crc_(crc)
{
    const int bitsPerChar = 1 + settings_.dataBits + (settings_.parity == 'N' ? 0 : 1) + settings_.stopBits;
    charUs_ = std::max(1L, static_cast<long>(bitsPerChar * 1000000.0 / settings_.baud + 0.5));
    // Up to 19200 baud the gap is 3.5 characters; above it a fixed 1.75 ms.
    t35Us_ = settings_.baud <= 19200 ? static_cast<long>(3.5 * bitsPerChar * 1000000.0 / settings_.baud + 0.5) : 1750;
    lastActivity_ = Clock::now();
}

HostLink::~HostLink() { close(); }

void HostLink::close()
{
    if (fd_ >= 0 && own_)
        ::close(fd_);
    fd_ = -1;
}

bool HostLink::open(std::string& error)
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

bool HostLink::attach(int fd, bool own, std::string& error)
{
    close();
    fd_ = fd;
    own_ = own;
    if (!configure(error)) {
        close();
        return false;
    }
    lastActivity_ = Clock::now();
    return true;
}

bool HostLink::configure(std::string& error)
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

void HostLink::waitForSilence()
{
    const auto gap = std::chrono::microseconds(requestGapUs_);
    // Continuous noise must not hold the line for ever.
    const Clock::time_point giveUp = Clock::now() + std::chrono::milliseconds(settings_.responseTimeoutMs);
    uint8_t junk[256];
    for (;;) {
        // Stray bytes (a late answer, noise) are dropped and restart the gap.
        ssize_t n;
        while ((n = ::read(fd_, junk, sizeof junk)) > 0) {
            noiseBytes_ += n;
            lastActivity_ = Clock::now();
        }
        Clock::time_point now = Clock::now();
        if (now >= lastActivity_ + gap || now >= giveUp)
            return;
        pollfd p{fd_, POLLIN, 0};
        timespec ts = toTimespec(std::min(lastActivity_ + gap, giveUp) - now);
        if (ppoll(&p, 1, &ts, nullptr) > 0 && (p.revents & (POLLHUP | POLLERR)) && !(p.revents & POLLIN))
            return;  // no peer: nothing will disturb the gap
    }
}

bool HostLink::writeAll(const uint8_t* data, int length)
{
    int done = 0;
    while (done < length) {
        ssize_t n = ::write(fd_, data + done, static_cast<size_t>(length - done));
        if (n > 0) {
            done += static_cast<int>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd_, POLLOUT, 0};
            if (poll(&p, 1, settings_.responseTimeoutMs) == 0)
                return false;
        } else {
            return false;
        }
    }
    return true;
}

void HostLink::receive(QByteArray& buf, int need, Clock::time_point deadline, bool stopOnException, uint8_t function)
{
    const auto gap = std::chrono::microseconds(t35Us_);
    Clock::time_point lastByte = Clock::now();
    uint8_t chunk[256];
    for (;;) {
        if (need > 0 && buf.size() >= need)
            return;
        if (stopOnException && buf.size() >= 5 && static_cast<uint8_t>(buf[1]) == (function | 0x80))
            return;
        if (buf.size() > 1024)
            return;  // no answer is that long: noise
        Clock::time_point now = Clock::now();
        Clock::time_point end = buf.isEmpty() ? deadline : std::min(deadline, lastByte + gap);
        if (now >= end)
            return;
        pollfd p{fd_, POLLIN, 0};
        timespec ts = toTimespec(end - now);
        int rc = ppoll(&p, 1, &ts, nullptr);
        if (rc < 0 && errno != EINTR)
            return;
        if (rc <= 0)
            continue;
        ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n > 0) {
            buf.append(reinterpret_cast<const char*>(chunk), static_cast<int>(n));
            lastByte = Clock::now();
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            // Hang-up or a dead line: nothing more will come before the deadline.
            timespec rest = toTimespec(deadline - Clock::now());
            nanosleep(&rest, nullptr);
            return;
        }
    }
}

bool HostLink::crcOk(const QByteArray& frame) const
{
    if (frame.size() < 4 || !crc_)
        return false;
    QByteArray copy = frame;
    unsigned short crc = crc_(reinterpret_cast<unsigned char*>(copy.data()), static_cast<unsigned short>(copy.size() - 2));
    return static_cast<uint8_t>(frame[frame.size() - 2]) == (crc & 0xFF) &&
           static_cast<uint8_t>(frame[frame.size() - 1]) == (crc >> 8);
}

ExchangeResult HostLink::exchange(const uint8_t* request, int length, int answerLen, bool modbus)
{
    ExchangeResult r;
    const Clock::time_point start = Clock::now();
    auto finish = [&](AnswerStatus s) {
        r.status = s;
        lastActivity_ = Clock::now();
        r.elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
        return r;
    };
    if (fd_ < 0 || length <= 0)
        return finish(AnswerStatus::LineError);

    waitForSilence();
    if (!writeAll(request, length))
        return finish(AnswerStatus::LineError);
    // The time-out runs from the end of the request on the wire.
    const Clock::time_point txEnd = Clock::now() + std::chrono::microseconds(charUs_ * length);
    lastActivity_ = txEnd;
    const Clock::time_point deadline = txEnd + std::chrono::milliseconds(settings_.responseTimeoutMs);

    QByteArray buf;
    if (settings_.echo) {
        receive(buf, length, deadline, false, 0);
        if (buf.size() < length)
            return finish(AnswerStatus::EchoLost);
        buf.remove(0, length);
    }

    if (answerLen == 0) {
        // A broadcast: nobody answers; give the stations time to act on it.
        const Clock::time_point until = Clock::now() + std::chrono::milliseconds(settings_.turnaroundMs);
        QByteArray junk;
        while (Clock::now() < until) {
            receive(junk, INT_MAX, until, false, 0);
            noiseBytes_ += junk.size();
            junk.clear();
        }
        return finish(AnswerStatus::Broadcast);
    }

    const uint8_t function = request[1 < length ? 1 : 0];
    receive(buf, answerLen > 0 ? answerLen : INT_MAX, deadline, modbus, function);
    r.received = buf;
    if (buf.isEmpty())
        return finish(AnswerStatus::Timeout);
    if (!modbus) {
        r.answer = buf;
        return finish(AnswerStatus::Ok);
    }
    if (buf.size() >= 5 && static_cast<uint8_t>(buf[1]) == (function | 0x80)) {
        QByteArray frame = buf.left(5);
        if (!crcOk(frame))
            return finish(AnswerStatus::BadCrc);
        if (frame[0] != static_cast<char>(request[0]))
            return finish(AnswerStatus::Mismatch);
        r.exceptionCode = static_cast<uint8_t>(frame[2]);
        return finish(AnswerStatus::Exception);
    }
    QByteArray frame = answerLen > 0 ? buf.left(answerLen) : buf;
    if (!crcOk(frame))
        return finish(AnswerStatus::BadCrc);
    if (frame[0] != static_cast<char>(request[0]) || frame[1] != static_cast<char>(function))
        return finish(AnswerStatus::Mismatch);
    r.answer = frame;
    return finish(AnswerStatus::Ok);
}

}  // namespace host
