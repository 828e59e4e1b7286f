// Owning a serial port, decided without hardware: which ports get low
// latency, what a failed open says, where the lock file lies and whose PID
// a lock names.
#include "link/PortLock.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

using host::LowLatency;

TEST(HostPort, LowLatencyForUsbAdaptersUnlessSet)
{
    const struct {
        const char* name;
        LowLatency setting;
        const char* driver;
        bool want;
    } rows[] = {
        {"ftdi_auto", LowLatency::Auto, "ftdi_sio", true}, {"cp210x_auto", LowLatency::Auto, "cp210x", true},
        {"acm_auto", LowLatency::Auto, "cdc_acm", true},   {"uart_auto", LowLatency::Auto, "serial8250", false},
        {"unknown_auto", LowLatency::Auto, "", false},     {"ftdi_off", LowLatency::Off, "ftdi_sio", false},
        {"uart_on", LowLatency::On, "serial8250", true},
    };
    for (const auto& r : rows)
        EXPECT_EQ(host::wantLowLatency(r.setting, r.driver), r.want) << r.name;
}

TEST(HostPort, OpenFailuresSayWhatToDo)
{
    const struct {
        const char* name;
        int err;
        const char* words;
    } rows[] = {
        {"permission", EACCES, "dialout group"},
        {"missing", ENOENT, "plugged in"},
        {"busy", EBUSY, "/dev/ttyUSB0 is in use by another program; stop it"},
        {"other", EIO, "cannot open /dev/ttyUSB0: Input/output error"},
    };
    for (const auto& r : rows)
        EXPECT_NE(host::openFailureText("/dev/ttyUSB0", r.err).find(r.words), std::string::npos) << r.name;
    EXPECT_NE(host::inUseText("/dev/ttyUSB0", 4242).find("in use by another program (PID 4242"), std::string::npos);
}

TEST(HostPort, LockFilesAndTheirHolders)
{
    EXPECT_EQ(host::lockFilePath("/dev/ttyUSB0", "/run/lock"), "/run/lock/LCK..ttyUSB0");
    EXPECT_EQ(host::lockFilePath("/dev/pts/3", "/run/lock"), "/run/lock/LCK..pts_3");
    const struct {
        const char* name;
        const char* text;
        long pid;
    } files[] = {
        {"padded_ascii", "      1234\n", 1234}, {"bare", "99", 99}, {"binary_or_empty", "", 0}, {"words", "x1", 0}};
    for (const auto& f : files)
        EXPECT_EQ(host::lockFilePid(f.text), f.pid) << f.name;
    const char* locks = "1: POSIX  ADVISORY  WRITE 700 00:19:12 0 EOF\n"
                        "2: FLOCK  ADVISORY  WRITE 4242 00:05:87 0 EOF\n"
                        "3: FLOCK  ADVISORY  WRITE 5151 00:05:88 0 EOF\n";
    EXPECT_EQ(host::flockHolder(locks, 0, 5, 87), 4242);
    EXPECT_EQ(host::flockHolder(locks, 0, 0x19, 12), 0);  // a POSIX lock is someone else's business
    EXPECT_EQ(host::flockHolder(locks, 0, 5, 89), 0);
}

}  // namespace
