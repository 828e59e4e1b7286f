// The library as a host sees it: loaded with dlopen, used through dlsym only.
#include "DriverApi.h"

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

    // Through the resolved pointers only; the session's tables run the rest (HostStations.*).
    api.FlashLocalRegister(11, 22, 33);
    const auto word = [lib](const char* name) { return *reinterpret_cast<int*>(dlsym(lib, name)); };
    EXPECT_EQ(std::make_tuple(word("LB"), word("LW"), word("RWI")), std::make_tuple(11, 22, 33));
}
