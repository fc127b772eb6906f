#include <gtest/gtest.h>

#include "shell/shell_binding.h"

namespace {

// Taken at the first statement of main, before any test runs.
SHChangeNotifyRegisterProc s_registerAtStart;
SHChangeNotifyDeregisterProc s_deregisterAtStart;

FARPROC ShellExport(const char* name) { return GetProcAddress(GetModuleHandleW(L"shell32"), name); }

TEST(BindingTest, BothEntryPointsAreSetBeforeMainRuns) {
    EXPECT_NE(s_registerAtStart, nullptr);
    EXPECT_NE(s_deregisterAtStart, nullptr);
    EXPECT_EQ(s_registerAtStart, pSHChangeNotifyRegister);
    EXPECT_EQ(s_deregisterAtStart, pSHChangeNotifyDeregister);
}

TEST(BindingTest, EntryPointsAreTheShellsOwnExports) {
    EXPECT_EQ(reinterpret_cast<void*>(pSHChangeNotifyRegister),
              reinterpret_cast<void*>(ShellExport("SHChangeNotifyRegister")));
    EXPECT_EQ(reinterpret_cast<void*>(pSHChangeNotifyDeregister),
              reinterpret_cast<void*>(ShellExport("SHChangeNotifyDeregister")));
}

}  // namespace

int main(int argc, char** argv) {
    s_registerAtStart = pSHChangeNotifyRegister;
    s_deregisterAtStart = pSHChangeNotifyDeregister;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
