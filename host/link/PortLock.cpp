#include "PortLock.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <linux/serial.h>
#include <sstream>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace host {

namespace {

constexpr const char* kLockDir = "/run/lock";

// Kernel drivers of USB serial adapters: their latency timer holds every answer up to 16 ms.
const char* const kUsbSerialDrivers[] = {"ftdi_sio",          "cp210x", "ch341-uart", "ch341",   "pl2303", "cdc_acm",
                                         "usbserial_generic", "option", "qcserial",   "ark3116", "mos7840"};

std::string readAll(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool alive(long pid) { return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM); }

}  // namespace

bool wantLowLatency(LowLatency setting, const std::string& driver)
{
    if (setting != LowLatency::Auto)
        return setting == LowLatency::On;
    for (const char* usb : kUsbSerialDrivers)
        if (driver == usb)
            return true;
    return false;
}

std::string openFailureText(const std::string& device, int err)
{
    std::string text = "cannot open " + device + ": " + std::strerror(err);
    if (err == EACCES || err == EPERM)
        text += " (serial ports belong to the dialout group: sudo usermod -aG dialout $USER, then log in again)";
    else if (err == ENOENT)
        text += " (is the adapter plugged in? ls /dev/ttyUSB* /dev/ttyACM* /dev/ttyS* lists the ports)";
    else if (err == EBUSY)
        text = inUseText(device, 0);
    return text;
}

std::string inUseText(const std::string& device, long pid)
{
    std::string text = device + " is in use by another program";
    if (pid > 0) {
        text += " (PID " + std::to_string(pid);
        const std::string comm = readAll("/proc/" + std::to_string(pid) + "/comm");
        if (!comm.empty())
            text += ", " + comm.substr(0, comm.find('\n'));
        text += ")";
    }
    return text + "; stop it, or use another port";
}

std::string lockFilePath(const std::string& device, const std::string& lockDir)
{
    std::string name = device.compare(0, 5, "/dev/") == 0 ? device.substr(5) : device;
    for (char& c : name)
        if (c == '/')
            c = '_';
    return lockDir + "/LCK.." + name;
}

long lockFilePid(const std::string& text)
{
    size_t i = text.find_first_not_of(" \t");
    if (i == std::string::npos)
        return 0;
    long pid = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && pid < 100000000; ++i)
        pid = pid * 10 + (text[i] - '0');
    return pid;
}

long flockHolder(const std::string& procLocks, unsigned major, unsigned minor, unsigned long inode)
{
    // "1: FLOCK  ADVISORY  WRITE 1234 00:05:87 0 EOF": device numbers in hex, inode in decimal.
    char want[48];
    std::snprintf(want, sizeof want, "%02x:%02x:%lu", major, minor, inode);
    std::istringstream in(procLocks);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string id, kind, mode, access, where;
        long pid = 0;
        if (words >> id >> kind >> mode >> access >> pid >> where && kind == "FLOCK" && where == want)
            return pid;
    }
    return 0;
}

std::string ttyDriver(const std::string& device)
{
    char target[512];
    const std::string base = device.substr(device.rfind('/') + 1);
    const ssize_t n = readlink(("/sys/class/tty/" + base + "/device/driver").c_str(), target, sizeof target - 1);
    if (n <= 0)
        return std::string();
    target[n] = '\0';
    const char* slash = std::strrchr(target, '/');
    return slash ? slash + 1 : target;
}

bool PortLock::claim(int fd, const std::string& device, std::string& error)
{
    release();
    struct stat st {};
    fstat(fd, &st);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        // /proc/locks names the file by the device it lies on and its inode.
        error = inUseText(device, flockHolder(readAll("/proc/locks"), major(st.st_dev), minor(st.st_dev),
                                              static_cast<unsigned long>(st.st_ino)));
        return false;
    }
    // The lock file of uucp, minicom and ModemManager, where the directory is ours to write.
    if (device.compare(0, 5, "/dev/") == 0 && access(kLockDir, W_OK) == 0) {
        const std::string path = lockFilePath(device, kLockDir);
        for (int attempt = 0; attempt < 2 && lockFile_.empty(); ++attempt) {
            const int lf = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (lf >= 0) {
                char text[16];
                const int len = std::snprintf(text, sizeof text, "%10ld\n", static_cast<long>(getpid()));
                const bool written = ::write(lf, text, static_cast<size_t>(len)) == len;
                ::close(lf);
                if (written)
                    lockFile_ = path;
                break;
            }
            const long pid = lockFilePid(readAll(path));
            if (alive(pid) && pid != getpid()) {
                error = inUseText(device, pid);
                flock(fd, LOCK_UN);
                return false;
            }
            unlink(path.c_str());  // stale: its program is gone
        }
    }
    // Non-root openers of the tty are refused from here on.
    ioctl(fd, TIOCEXCL);
    return true;
}

void PortLock::release()
{
    if (!lockFile_.empty())
        unlink(lockFile_.c_str());
    lockFile_.clear();
}

bool setLowLatency(int fd, bool on, std::string& error)
{
    serial_struct ss{};
    if (ioctl(fd, TIOCGSERIAL, &ss) != 0) {
        error = std::string("no serial settings: ") + std::strerror(errno);
        return false;
    }
    ss.flags = on ? (ss.flags | ASYNC_LOW_LATENCY) : (ss.flags & ~ASYNC_LOW_LATENCY);
    if (ioctl(fd, TIOCSSERIAL, &ss) != 0) {
        error = std::string("low latency not set: ") + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace host
