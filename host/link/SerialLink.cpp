#include "SerialLink.h"

#include "FdIo.h"
#include "SerialLine.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace host {

SerialLink::SerialLink(const LinkSettings& settings) : settings_(settings)
{
    charUs_ = serialline::charUs(settings_.line());
    t35Us_ = serialline::frameGapUs(settings_.line());
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
    const serialline::LineSettings line = settings_.line();
    const std::string name = settings_.device.empty() ? "the line" : settings_.device;
    if (!serialline::makeRaw(fd_, &line, error)) {
        error = name + ": " + error;
        return false;
    }
    if (!serialline::setRs485(fd_, settings_.rs485, error)) {
        error = name + ": link.rs485: " + error;
        return false;
    }
    requestGapUs_ = settings_.gapUs >= 0 ? settings_.gapUs : (serialline::isPseudoTerminal(fd_) ? 0 : t35Us_);
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

bool SerialLink::waitReadable(Clock::time_point until) { return waitFd(fd_, until); }

bool SerialLink::write(const uint8_t* data, int length, Clock::time_point until)
{
    return writeFd(fd_, data, length, until, false);
}

void SerialLink::discardInput()
{
    if (fd_ >= 0)
        tcflush(fd_, TCIFLUSH);
}

}  // namespace host
