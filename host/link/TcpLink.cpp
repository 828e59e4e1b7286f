#include "TcpLink.h"

#include "FdIo.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace host {

bool parseTcpDevice(const std::string& device, TcpAddress& address, std::string& error)
{
    static const std::string kScheme = "tcp://";
    error.clear();
    if (device.compare(0, kScheme.size(), kScheme) != 0)
        return false;
    const std::string rest = device.substr(kScheme.size());
    const size_t colon = rest.rfind(':');
    std::string host = colon == std::string::npos ? rest : rest.substr(0, colon);
    const std::string port = colon == std::string::npos ? "" : rest.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    const bool portOk = !port.empty() && port.size() <= 5 &&
                        std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
                        std::stoi(port) >= 1 && std::stoi(port) <= 65535;
    if (host.empty() || !portOk || host.find_first_of("/[]") != std::string::npos ||
        (host.find(':') != std::string::npos && rest.front() != '[')) {
        error = "expected tcp://HOST:PORT (PORT 1..65535, an IPv6 address in brackets), got \"" + device + "\"";
        return false;
    }
    address.host = host;
    address.port = std::stoi(port);
    return true;
}

TcpLink::TcpLink(const LinkSettings& settings)
    : settings_(settings), charUs_(serialline::charUs(settings.line())), t35Us_(serialline::frameGapUs(settings.line()))
{
    std::string ignored;
    parseTcpDevice(settings_.device, address_, ignored);
}

TcpLink::~TcpLink() { close(); }

void TcpLink::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool TcpLink::open(std::string& error)
{
    close();
    peerGone_ = false;
    if (address_.host.empty()) {
        error = "\"" + settings_.device + "\" is not a tcp://HOST:PORT address";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(address_.host.c_str(), std::to_string(address_.port).c_str(), &hints, &found);
    if (rc != 0) {
        error = "cannot resolve " + address_.host + ": " + gai_strerror(rc);
        return false;
    }
    const int waitMs = std::max(1000, settings_.responseTimeoutMs);
    std::string why = "no address";
    for (addrinfo* a = found; a && fd_ < 0; a = a->ai_next) {
        const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            why = std::strerror(errno);
            continue;
        }
        int err = 0;
        if (connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            err = errno;
            if (err == EINPROGRESS) {
                pollfd p{fd, POLLOUT, 0};
                socklen_t len = sizeof err;
                err =
                    poll(&p, 1, waitMs) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 ? err : ETIMEDOUT;
            }
        }
        if (err != 0) {
            why = std::strerror(err);
            ::close(fd);
            continue;
        }
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // a request is one small frame: send it now
        fd_ = fd;
    }
    freeaddrinfo(found);
    if (fd_ < 0) {
        error = "cannot connect to " + settings_.device + ": " + why;
        return false;
    }
    return true;
}

int TcpLink::read(uint8_t* buffer, int capacity)
{
    if (fd_ < 0 || peerGone_)
        return -1;
    const ssize_t n = ::recv(fd_, buffer, static_cast<size_t>(capacity), 0);
    if (n > 0)
        return static_cast<int>(n);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return 0;
    return -1;  // closed by the server, or reset
}

bool TcpLink::waitReadable(Clock::time_point until) { return peerGone_ || waitFd(fd_, until); }

bool TcpLink::write(const uint8_t* data, int length, Clock::time_point until)
{
    return !peerGone_ && writeFd(fd_, data, length, until, true);
}

void TcpLink::discardInput()
{
    // What one turn holds at most: a peer that sends without pause cannot keep us here.
    uint8_t junk[512];
    int n = 0;
    for (int dropped = 0; dropped < kMaxDiscard && (n = read(junk, sizeof junk)) > 0;)
        dropped += n;
    peerGone_ = n < 0;
}

}  // namespace host
