#include "DriverApi.h"

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

}  // namespace host
