// The library as a host sees it: loaded with dlopen, used through dlsym only.
#include "test_support.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <string>
#include <tuple>

namespace {
template <typename T>
T symbol(void* library, const char* name)
{
    return reinterpret_cast<T>(dlsym(library, name));
}
}  // namespace

TEST(HostInterface, EntryPointsResolveByPlainNameAndWork)
{
    const std::string file = KEMO_DRIVER_FILE;
    void* byFile = dlopen(file.c_str(), RTLD_NOW);
    void* lib = dlopen((file.substr(0, file.rfind('/') + 1) + "libkemo_ipc_rtu.so.1").c_str(), RTLD_NOW);
    ASSERT_TRUE(byFile && lib) << dlerror();
    // Every name is in the exported symbol list (tests/abi); here: one library, under both names.
    EXPECT_EQ(dlsym(lib, "PLC_driver"), dlsym(byFile, "PLC_driver"));

    // Set-up, a read list and its first request, through the resolved pointers only.
    COM_INFO info{};
    info.maxPerFrame = 10;
    info.defaultStation = 3;
    symbol<void (*)(COM_INFO*)>(lib, "SetComInfo")(&info);
    symbol<void (*)(int, int, int)>(lib, "FlashLocalRegister")(11, 22, 33);
    EXPECT_EQ(std::make_tuple(*symbol<int*>(lib, "LB"), *symbol<int*>(lib, "LW"), *symbol<int*>(lib, "RWI")),
              std::make_tuple(11, 22, 33));
    HOST_VAR v{};
    v.regKind = 8;
    v.addrText = "100";
    v.length = 12;
    QList<HOST_VAR> vars{v};
    EXPECT_EQ(symbol<int (*)(QList<HOST_VAR>*)>(lib, "ReCreatReadVarList")(&vars), 2);
    EXPECT_EQ(symbol<Communication_Protocol*>(lib, "PLC_driver")->comInfo, &info);
    const intptr_t request = symbol<intptr_t (*)()>(lib, "ComCommunication")();
    ASSERT_NE(request, 0);
    EXPECT_EQ(test::hex(reinterpret_cast<const Protocol*>(request)->frame), "03 03 00 64 00 0A 85 F0");
    EXPECT_EQ(dlclose(lib), 0);
    EXPECT_EQ(dlclose(byFile), 0);
}
