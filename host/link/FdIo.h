// Waiting on and writing to the non-blocking descriptor of a link (a tty or
// a socket), shared by the link classes.
#pragma once

#include "Link.h"

#include <cstdint>

namespace host {

// Until fd is readable or `until` passes; false on time-out. True on a
// poll error too, so that the caller's read reports the failure, and on a
// signal, so that the caller sees its stop flag.
bool waitFd(int fd, Link::Clock::time_point until);
// All of `data`, waiting while the descriptor is full; false when it fails
// or stays full until `until`. A socket is written without SIGPIPE.
bool writeFd(int fd, const uint8_t* data, int length, Link::Clock::time_point until, bool socket);

}  // namespace host
