// The driver as a panel runtime sees it: a shared library opened with dlopen
// and entry points looked up by their plain names.
#pragma once

#include "Communication_Protocol.h"

#include <string>

namespace host {

// Default name: found through plc-host's run path in the build tree, or the
// system's library path once installed.
constexpr const char* kDefaultDriverLibrary = "libkemo_ipc_rtu.so.1";

struct DriverApi {
    decltype(&::SetComInfo) SetComInfo = nullptr;
    decltype(&::FlashLocalRegister) FlashLocalRegister = nullptr;
    decltype(&::RegistCallBackFuncIntf) RegistCallBackFuncIntf = nullptr;
    decltype(&::PLCAddressChangeIntef) PLCAddressChangeIntef = nullptr;
    decltype(&::ReCreatReadVarList) ReCreatReadVarList = nullptr;
    decltype(&::AddListWriteVar) AddListWriteVar = nullptr;
    decltype(&::AddListOnceReadVar) AddListOnceReadVar = nullptr;
    decltype(&::ComCommunication) ComCommunication = nullptr;
    decltype(&::DataCom) DataCom = nullptr;
    decltype(&::EnCommStation) EnCommStation = nullptr;
    decltype(&::SetStationOptions) SetStationOptions = nullptr;
    decltype(&::GetRegisterData) GetRegisterData = nullptr;
    decltype(&::QueryFinishFlag) QueryFinishFlag = nullptr;
    decltype(&::SetRegisterData) SetRegisterData = nullptr;
    // The checksum the driver builds its frames with; the host checks the
    // answers with it before the driver sees them.
    decltype(&::CalCRC) CalCRC = nullptr;

    DriverApi() = default;
    DriverApi(const DriverApi&) = delete;
    DriverApi& operator=(const DriverApi&) = delete;
    ~DriverApi();  // the library stays loaded: its globals live until exit

    // Opens the library and resolves every entry point; false with `error` set otherwise.
    bool load(const std::string& library, std::string& error);
    // The file the library was loaded from, links resolved (libkemo_ipc_rtu.so.1.0.0); empty before load.
    std::string file() const;

    void* handle = nullptr;
};

// The version a shared library's file name carries: "1.0.0" of ".../libkemo_ipc_rtu.so.1.0.0", else empty.
std::string libraryFileVersion(const std::string& path);

}  // namespace host
