// Owning a serial port: no second program may open it while plc-host runs
// (TIOCEXCL, an flock on the device and the usual /run/lock/LCK.. file),
// USB adapters answer without their latency timer, and a port that cannot
// be opened says why in words a commissioning engineer can act on. The
// decisions are free functions, tested without hardware; the I/O is thin.
#pragma once

#include <string>

namespace host {

// link.lowLatency: absent (Auto) asks for it on USB serial adapters only.
enum class LowLatency { Auto, On, Off };

// Whether to ask a port for low latency, given its kernel driver's name
// ("ftdi_sio", "cp210x", "cdc_acm", "8250", ...; empty when unknown).
bool wantLowLatency(LowLatency setting, const std::string& driver);

// The message for an open that failed with `err`.
std::string openFailureText(const std::string& device, int err);
// The message for a port another program holds; pid 0 when it cannot be read.
std::string inUseText(const std::string& device, long pid);

// "/dev/ttyUSB0" in "/run/lock" -> "/run/lock/LCK..ttyUSB0"; "/dev/pts/3" -> ".../LCK..pts_3".
std::string lockFilePath(const std::string& device, const std::string& lockDir);
// The PID a lock file holds (ASCII, as uucp and minicom write it), or 0.
long lockFilePid(const std::string& text);
// The PID holding an flock on the file (device major, minor, inode) in
// /proc/locks text, or 0.
long flockHolder(const std::string& procLocks, unsigned major, unsigned minor, unsigned long inode);

// The kernel driver of a tty device ("ftdi_sio"), from sysfs; empty when unknown.
std::string ttyDriver(const std::string& device);

class PortLock {
public:
    PortLock() = default;
    ~PortLock() { release(); }
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;

    // Takes `fd` (open on `device`) for this process alone. False with
    // `error` set ("... in use by PID n") when another holds it.
    bool claim(int fd, const std::string& device, std::string& error);
    void release();

private:
    std::string lockFile_;  // created by us, removed on release
};

// ASYNC_LOW_LATENCY on or off; false with `error` where the port has no such setting.
bool setLowLatency(int fd, bool on, std::string& error);

}  // namespace host
