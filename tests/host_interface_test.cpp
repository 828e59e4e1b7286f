// The library as a host sees it: loaded with dlopen, used through dlsym only.
#include "DriverApi.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <string>
#include <tuple>

TEST(HostInterface, EntryPointsResolveByPlainNameAndWork)
{
    const std::string file = KEMO_DRIVER_FILE;
    void* byFile = dlopen(file.c_str(), RTLD_NOW);
    host::DriverApi api;  // plc-host's table: every entry point by its plain name
    std::string error;
    ASSERT_TRUE(byFile && api.load(file.substr(0, file.rfind('/') + 1) + "libkemo_ipc_rtu.so.1", error)) << error;
    void* lib = api.handle;
    // Every name is in the exported symbol list (tests/abi); here: one library, under both names.
    EXPECT_EQ(dlsym(lib, "PLC_driver"), dlsym(byFile, "PLC_driver"));

    // Set-up, a read list and its first request, through the resolved pointers only.
    COM_INFO info{};
    info.maxPerFrame = 10;
    info.defaultStation = 3;
    api.SetComInfo(&info);
    api.FlashLocalRegister(11, 22, 33);
    const auto word = [lib](const char* name) { return *reinterpret_cast<int*>(dlsym(lib, name)); };
    EXPECT_EQ(std::make_tuple(word("LB"), word("LW"), word("RWI")), std::make_tuple(11, 22, 33));
    HOST_VAR v{};
    v.regKind = 8;
    v.addrText = "100";
    v.length = 12;
    QList<HOST_VAR> vars{v};
    EXPECT_EQ(api.ReCreatReadVarList(&vars), 2);
    EXPECT_EQ(reinterpret_cast<Communication_Protocol*>(dlsym(lib, "PLC_driver"))->comInfo, &info);
    const intptr_t request = api.ComCommunication();
    ASSERT_NE(request, 0);
    EXPECT_EQ(test::hex(reinterpret_cast<const Protocol*>(request)->frame), "03 03 00 64 00 0A 85 F0");
    EXPECT_EQ(dlclose(lib), 0);
    EXPECT_EQ(dlclose(byFile), 0);
}
