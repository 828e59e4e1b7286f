// host-two-lines: one host process driving two lines, one copy of libkemo_ipc_rtu per line.
//
//   host-two-lines DEVICE1 DEVICE2 [LIBRARY]      LIBRARY: default libkemo_ipc_rtu.so.1, found as dlopen finds it
//
// The driver keeps its state in the library's globals: COM_INFO, callbacks, read list, queues and the copy of
// controller memory. One loaded library drives one line. For a second line in the same process the host loads a
// second copy: the library's file copied to a private file (the loader opens a file it already holds only once)
// and opened with dlopen(RTLD_LOCAL), so that no copy's symbols enter the global scope and each copy binds to its
// own globals. All copies share the host's Qt and C library, so the QString, QByteArray and QList handed across
// the calls are allocated and freed by one allocator. For the same reason this program does not link the library:
// a linked copy sits in the global scope and every loaded copy would bind to its globals. (dlmopen is no way out:
// each namespace gets its own Qt and C library, and a Qt object made by the host and freed by a copy, or the other
// way round, would cross allocators.)
//
// Line 1 serves station 1: reads holding registers 100-103 and coils 0-7, writes 4321 to register 200.
// Line 2 serves station 2: reads holding registers 100-102 and discrete inputs 0-7, writes 1234 to register 200.
// The same addresses on both lines, so that a store, a queue or a callback shared between the copies would show.
// Each line runs on its own thread, as host-minimal does, until its write is acknowledged and two more scans came
// back; then each prints its values. Exit 0 when both lines read and wrote, and no callback came on a wrong line.
#include <Communication_Protocol.h>

#include "rtu_line.h"

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <string>
#include <sys/mman.h>
#include <thread>

namespace {

using Clock = rtu_line::Clock;
constexpr int kWriteClass = 1;
constexpr int kWriteId = 200;
constexpr long kBaud = 19200;

// One copy of the driver: its entry points.
struct Driver {
    decltype(&::SetComInfo) SetComInfo;
    decltype(&::RegistCallBackFuncIntf) RegistCallBackFuncIntf;
    decltype(&::FlashLocalRegister) FlashLocalRegister;
    decltype(&::ReCreatReadVarList) ReCreatReadVarList;
    decltype(&::SetRegisterData) SetRegisterData;
    decltype(&::GetRegisterData) GetRegisterData;
    rtu_line::LinkCalls link;
};

struct Line {
    int number;  // 1 or 2: also its station and its COM_INFO::callbackId
    const char* device;
    Driver driver;
    COM_INFO info;                    // the host's, one per copy; lives as long as the copy is used
    std::atomic<int> writeStatus{0};  // 1 = acknowledged, 2 = given up
    std::atomic<int> callbacks{0};    // result callbacks that came on this line's thread, from its copy
};

Line g_lines[2];
thread_local Line* t_line = nullptr;   // the line whose link thread this is
std::atomic<int> g_strayCallbacks{0};  // callbacks on another line's thread, or with another line's id

// Each copy gets its own callbacks. They run on the line's link thread, inside DataCom.
template <int N>
void onVarResult(int callbackId, int varClass, int varId, int status)
{
    Line& line = g_lines[N - 1];
    if (t_line != &line || callbackId != line.number) {
        ++g_strayCallbacks;
        return;
    }
    ++line.callbacks;
    if (varClass == kWriteClass && varId == kWriteId)
        line.writeStatus = status;
}

template <int N>
void onListResult(QList<RW_VAR>*, int, int)
{
    if (t_line != &g_lines[N - 1])
        ++g_strayCallbacks;
}

// The file the loader finds for `library`, links resolved: the one to copy.
std::string libraryFile(const char* library)
{
    void* handle = dlopen(library, RTLD_LAZY | RTLD_LOCAL);
    Dl_info info{};
    char real[PATH_MAX];
    std::string file;
    if (handle && dladdr(dlsym(handle, "SetComInfo"), &info) && info.dli_fname && realpath(info.dli_fname, real))
        file = real;
    if (handle)
        dlclose(handle);
    return file;
}

// A private copy of the library, loaded on its own. The copy is a memory file: nothing to clean up, and no
// mount that forbids running code. Its descriptor stays open while the copy is used: dlopen knows a loaded
// object by its name, and /proc/self/fd/N of a closed descriptor could name the next line's copy.
void* loadCopy(const std::string& file, const char* name)
{
    const int in = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    const int copy = memfd_create(name, MFD_CLOEXEC);
    bool copied = in >= 0 && copy >= 0;
    char buf[65536];
    ssize_t n;
    while (copied && (n = read(in, buf, sizeof buf)) != 0)
        copied = n > 0 && write(copy, buf, size_t(n)) == n;
    if (in >= 0)
        close(in);
    void* handle = copied ? dlopen(("/proc/self/fd/" + std::to_string(copy)).c_str(), RTLD_NOW | RTLD_LOCAL) : nullptr;
    if (!handle) {
        std::fprintf(stderr, "%s: cannot load a copy of %s: %s\n", name, file.c_str(),
                     copied ? dlerror() : "copy failed");
        if (copy >= 0)
            close(copy);
    }
    return handle;
}

template <typename Fn>
bool resolve(void* handle, const char* name, Fn& fn)
{
    fn = reinterpret_cast<Fn>(dlsym(handle, name));
    return fn != nullptr;
}

bool resolveAll(void* handle, Driver& d)
{
    return resolve(handle, "SetComInfo", d.SetComInfo) &&
           resolve(handle, "RegistCallBackFuncIntf", d.RegistCallBackFuncIntf) &&
           resolve(handle, "FlashLocalRegister", d.FlashLocalRegister) &&
           resolve(handle, "ReCreatReadVarList", d.ReCreatReadVarList) &&
           resolve(handle, "SetRegisterData", d.SetRegisterData) &&
           resolve(handle, "GetRegisterData", d.GetRegisterData) && resolve(handle, "ComCommunication", d.link.next) &&
           resolve(handle, "DataCom", d.link.dataCom) &&
           resolve(handle, "_Z6CalCRCPht", d.link.crc);  // CalCRC has C++ linkage
}

void addVar(QList<HOST_VAR>& vars, unsigned char kind, const char* address, int count)
{
    HOST_VAR v{};
    v.regKind = kind;
    v.addrText = QString::fromLatin1(address);
    v.length = count;
    vars.append(v);
}

// Set-up and link thread of one line: what host-minimal does, through this line's copy.
void runLine(Line& line, int fd)
{
    t_line = &line;
    const Driver& d = line.driver;
    line.info.maxPerFrame = 64;
    line.info.defaultStation = line.number;
    line.info.retryLimit = 2;
    line.info.linkState = 2;
    line.info.callbackId = line.number;
    d.SetComInfo(&line.info);
    if (line.number == 1)
        d.RegistCallBackFuncIntf(onVarResult<1>, onListResult<1>);
    else
        d.RegistCallBackFuncIntf(onVarResult<2>, onListResult<2>);
    d.FlashLocalRegister(0, 0, 0);

    QList<HOST_VAR> vars;  // kind: area (0 inputs, 1 coils, 2 registers) + 3 x width (bit, byte, word)
    addVar(vars, 8, "100", line.number == 1 ? 4 : 3);
    addVar(vars, 8, "200", 1);
    addVar(vars, line.number == 1 ? 1 : 0, "0.0", 8);
    d.ReCreatReadVarList(&vars);

    QString name = QStringLiteral("setpoint"), address = QStringLiteral("200");
    QByteArray value = line.number == 1 ? QByteArray("\xE1\x10", 2) : QByteArray("\xD2\x04", 2);  // 4321, 1234
    d.SetRegisterData(name, 8, address, line.number, &value, 1, kWriteClass, kWriteId);

    const auto giveUp = Clock::now() + std::chrono::seconds(10);
    const auto silence = rtu_line::frameGap(kBaud);
    int scansAfterWrite = 0;
    while (Clock::now() < giveUp && scansAfterWrite < 2 && line.writeStatus != 2) {
        if (!rtu_line::exchange(d.link, fd, silence))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (line.writeStatus == 1 && line.info.scanComplete) {
            line.info.scanComplete = 0;
            ++scansAfterWrite;
        }
    }
}

QByteArray value(const Line& line, int kind, const char* address, int count)
{
    QString text = QString::fromLatin1(address);
    QByteArray out;
    line.driver.GetRegisterData(0, kind, text, line.number, &out, count);
    return out;
}

int word(const QByteArray& b, int i)
{
    return b.size() < 2 * i + 2 ? -1 : (unsigned char)b[2 * i] | (unsigned char)b[2 * i + 1] << 8;
}

void report(const Line& line)
{
    const int registers = line.number == 1 ? 4 : 3;
    const QByteArray regs = value(line, 8, "100", registers), reg200 = value(line, 8, "200", 1);
    const QByteArray bits = value(line, line.number == 1 ? 1 : 0, "0.0", 8);
    std::printf("line %d: hr 100..%d:", line.number, 99 + registers);
    for (int i = 0; i < registers; ++i)
        std::printf(" %d", word(regs, i));
    std::printf("; hr 200: %d (write %s); %s 0..7:", word(reg200, 0), line.writeStatus == 1 ? "acknowledged" : "failed",
                line.number == 1 ? "coils" : "inputs");
    for (int i = 0; i < 8; ++i)
        std::printf(" %d", i < bits.size() ? int(bits[i]) : -1);
    std::printf("; callbacks %d\n", line.callbacks.load());
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: host-two-lines DEVICE1 DEVICE2 [LIBRARY]\n");
        return 2;
    }
    const std::string file = libraryFile(argc > 3 ? argv[3] : "libkemo_ipc_rtu.so.1");
    if (file.empty()) {
        std::fprintf(stderr, "cannot find the driver library: %s\n", dlerror());
        return 1;
    }
    int fds[2];
    for (int i = 0; i < 2; ++i) {
        Line& line = g_lines[i];
        line.number = i + 1;
        line.device = argv[1 + i];
        void* copy = loadCopy(file, i == 0 ? "kemo_ipc_rtu-line1" : "kemo_ipc_rtu-line2");
        if (!copy)
            return 1;
        if (!resolveAll(copy, line.driver)) {
            std::fprintf(stderr, "line %d: %s lacks an entry point\n", line.number, file.c_str());
            return 1;
        }
        if ((fds[i] = rtu_line::openLine(line.device, kBaud)) < 0) {
            std::perror(line.device);
            return 1;
        }
    }
    std::thread first(runLine, std::ref(g_lines[0]), fds[0]), second(runLine, std::ref(g_lines[1]), fds[1]);
    first.join();
    second.join();
    bool ok = g_strayCallbacks == 0;
    for (int i = 0; i < 2; ++i) {
        close(fds[i]);
        report(g_lines[i]);
        ok = ok && g_lines[i].writeStatus == 1;
    }
    std::printf("stray callbacks: %d\n", g_strayCallbacks.load());
    return ok ? 0 : 1;
}
