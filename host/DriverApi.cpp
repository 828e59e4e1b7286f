#include "DriverApi.h"

#include <climits>
#include <cstdlib>
#include <dlfcn.h>

namespace host {

namespace {

template <typename Fn>
bool resolve(void* handle, const char* name, Fn& fn, std::string& error)
{
    dlerror();
    void* sym = dlsym(handle, name);
    if (!sym) {
        const char* why = dlerror();
        error = std::string("entry point ") + name + " not found" + (why ? std::string(": ") + why : "");
        return false;
    }
    fn = reinterpret_cast<Fn>(sym);
    return true;
}

}  // namespace

DriverApi::~DriverApi() = default;

bool DriverApi::load(const std::string& library, std::string& error)
{
    handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
#ifdef KEMO_BUILD_DRIVER_DIR
    // Sanitizer runtimes intercept dlopen and lose plc-host's run path: a bare
    // name is then looked up in the build tree the host was built with.
    if (!handle && library.find('/') == std::string::npos)
        handle = dlopen((std::string(KEMO_BUILD_DRIVER_DIR) + "/" + library).c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
    if (!handle) {
        const char* why = dlerror();
        error = "cannot load driver " + library + (why ? std::string(": ") + why : "");
        return false;
    }
    return resolve(handle, "SetComInfo", SetComInfo, error) &&
           resolve(handle, "FlashLocalRegister", FlashLocalRegister, error) &&
           resolve(handle, "RegistCallBackFuncIntf", RegistCallBackFuncIntf, error) &&
           resolve(handle, "PLCAddressChangeIntef", PLCAddressChangeIntef, error) &&
           resolve(handle, "ReCreatReadVarList", ReCreatReadVarList, error) &&
           resolve(handle, "AddListWriteVar", AddListWriteVar, error) &&
           resolve(handle, "AddListOnceReadVar", AddListOnceReadVar, error) &&
           resolve(handle, "ComCommunication", ComCommunication, error) && resolve(handle, "DataCom", DataCom, error) &&
           resolve(handle, "EnCommStation", EnCommStation, error) &&
           resolve(handle, "SetStationOptions", SetStationOptions, error) &&
           resolve(handle, "GetRegisterData", GetRegisterData, error) &&
           resolve(handle, "QueryFinishFlag", QueryFinishFlag, error) &&
           resolve(handle, "SetRegisterData", SetRegisterData, error) &&
           // A library function with C++ linkage: unsigned short CalCRC(unsigned char*, unsigned short).
           resolve(handle, "_Z6CalCRCPht", CalCRC, error);
}

std::string DriverApi::file() const
{
    Dl_info info{};
    if (!SetComInfo || !dladdr(reinterpret_cast<void*>(SetComInfo), &info) || !info.dli_fname)
        return std::string();
    // The loader knows the name it opened (libkemo_ipc_rtu.so.1, a link); the version is in the file's own name.
    char real[PATH_MAX];
    return realpath(info.dli_fname, real) ? real : info.dli_fname;
}

std::string libraryFileVersion(const std::string& path)
{
    const size_t so = path.rfind(".so.");
    if (so == std::string::npos || path.find('/', so) != std::string::npos)
        return std::string();
    return path.substr(so + 4);
}

}  // namespace host
