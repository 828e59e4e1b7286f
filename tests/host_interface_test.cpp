// The library as a host sees it: loaded with dlopen, used through dlsym only.
#include "test_support.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <string>

namespace {

std::string besideDriver(const char* fileName)
{
    const std::string path = KEMO_DRIVER_FILE;
    return path.substr(0, path.rfind('/') + 1) + fileName;
}

template <typename T>
T symbol(void* library, const char* name)
{
    return reinterpret_cast<T>(dlsym(library, name));
}

}  // namespace

TEST(HostInterface, EntryPointsAndGlobalsResolveByPlainName)
{
    void* byFile = dlopen(KEMO_DRIVER_FILE, RTLD_NOW);
    ASSERT_NE(byFile, nullptr) << dlerror();
    void* bySoname = dlopen(besideDriver("libkemo_ipc_rtu.so.1").c_str(), RTLD_NOW);
    ASSERT_NE(bySoname, nullptr) << dlerror();

    const char* names[] = {"SetComInfo", "FlashLocalRegister", "RegistCallBackFuncIntf", "PLCAddressChangeIntef",
                           "ReCreatReadVarList", "AddListReadVar", "AddListWriteVar", "AddListOnceReadVar",
                           "ComCommunication", "DataCom", "EnCommStation", "EnableEthernet", "GetRegisterData",
                           "QueryFinishFlag", "SetRegisterData", "PLC_driver", "DataStorage", "LB", "LW", "RWI"};
    for (const char* name : names) {
        void* address = dlsym(byFile, name);
        EXPECT_NE(address, nullptr) << name;
        EXPECT_EQ(dlsym(bySoname, name), address) << name;
    }
    // Internal functions keep their decorated C++ names.
    EXPECT_EQ(dlsym(byFile, "StringAddressToInt"), nullptr);
    EXPECT_EQ(dlclose(bySoname), 0);
    EXPECT_EQ(dlclose(byFile), 0);
}

TEST(HostInterface, ReadListAndStoreThroughResolvedPointers)
{
    void* lib = dlopen(besideDriver("libkemo_ipc_rtu.so.1").c_str(), RTLD_NOW);
    ASSERT_NE(lib, nullptr) << dlerror();
    const auto setComInfo = symbol<void (*)(COM_INFO*)>(lib, "SetComInfo");
    const auto flashLocal = symbol<void (*)(int, int, int)>(lib, "FlashLocalRegister");
    const auto addressOf = symbol<int (*)(int, QString)>(lib, "PLCAddressChangeIntef");
    const auto rebuild = symbol<int (*)(QList<HOST_VAR>*)>(lib, "ReCreatReadVarList");
    const auto next = symbol<intptr_t (*)()>(lib, "ComCommunication");
    const auto getData = symbol<int (*)(int, int, QString&, int, QByteArray*, int)>(lib, "GetRegisterData");
    const auto finished = symbol<int (*)()>(lib, "QueryFinishFlag");
    auto* driver = symbol<Communication_Protocol*>(lib, "PLC_driver");
    auto* store = symbol<RegisterStore*>(lib, "DataStorage");
    auto* lb = symbol<int*>(lib, "LB");
    auto* rwi = symbol<int*>(lib, "RWI");
    ASSERT_TRUE(setComInfo && flashLocal && addressOf && rebuild && next && getData && finished && driver && store &&
                lb && rwi);

    COM_INFO info{};
    info.maxPerFrame = 10;
    info.defaultStation = 3;
    info.cleared40 = 9;
    setComInfo(&info);
    EXPECT_EQ(driver->comInfo, &info);
    EXPECT_EQ(info.cleared40, 0);
    flashLocal(11, 22, 33);
    EXPECT_EQ(std::make_pair(*lb, *rwi), std::make_pair(11, 33));
    EXPECT_EQ(addressOf(1, "10.3"), 83);

    QList<HOST_VAR> vars;
    HOST_VAR v{};
    v.regKind = 8;
    v.addrText = "100";
    v.length = 12;
    vars << v;
    EXPECT_EQ(rebuild(&vars), 2);
    ASSERT_EQ(driver->readList.size(), 2);
    EXPECT_EQ(driver->readList.at(1).regAddr, 110);
    const Protocol* request = reinterpret_cast<const Protocol*>(next());
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(test::hex(request->frame).substr(0, 17), "03 03 00 64 00 0A");

    QString addr = "100";
    QByteArray out;
    EXPECT_EQ(getData(0, 8, addr, 0, &out, 3), 1);
    EXPECT_EQ(out, QByteArray(6, '\0'));
    EXPECT_EQ(store->value(3).value(8).size(), 206);
    EXPECT_EQ(finished(), 1);
    EXPECT_EQ(dlclose(lib), 0);
}
