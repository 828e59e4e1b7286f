#include "FdIo.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace host {

namespace {

using Clock = Link::Clock;

timespec toTimespec(std::chrono::nanoseconds d)
{
    long long ns = std::max<long long>(0, d.count());
    return timespec{static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
}

}  // namespace

bool waitFd(int fd, Clock::time_point until)
{
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (now >= until || fd < 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        timespec ts = toTimespec(until - now);
        const int rc = ppoll(&p, 1, &ts, nullptr);
        if (rc > 0)
            return true;
        if (rc < 0)
            return true;  // a signal too: the caller looks at its stop flag
    }
}

bool writeFd(int fd, const uint8_t* data, int length, Clock::time_point until, bool socket)
{
    if (fd < 0)
        return false;
    int done = 0;
    while (done < length) {
        const size_t left = static_cast<size_t>(length - done);
        const ssize_t n = socket ? ::send(fd, data + done, left, MSG_NOSIGNAL) : ::write(fd, data + done, left);
        if (n > 0) {
            done += static_cast<int>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            pollfd p{fd, POLLOUT, 0};
            if (ms <= 0 || poll(&p, 1, static_cast<int>(ms)) == 0)
                return false;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace host
