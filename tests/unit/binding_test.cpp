#include <gtest/gtest.h>

#include "shell/shell_binding.h"

namespace {

// Taken at the first statement of main, before any test runs.
SHChangeNotifyRegisterProc s_registerAtStart;
SHChangeNotifyDeregisterProc s_deregisterAtStart;
HMODULE s_shellAtStart;

FARPROC ShellExport(const char* name) {
    return GetProcAddress(GetModuleHandleW(L"shell32"), name);
}

TEST(BindingTest, BothEntryPointsAreSetBeforeMainRuns) {
    EXPECT_NE(s_registerAtStart, nullptr);
    EXPECT_NE(s_deregisterAtStart, nullptr);
    EXPECT_EQ(s_registerAtStart, pSHChangeNotifyRegister);
    EXPECT_EQ(s_deregisterAtStart, pSHChangeNotifyDeregister);
}

// The tool imports functions such as SHGetPathFromIDListA from shell32 by
// name, so the loader maps the module before any static is initialised. This
// program imports that function below and so starts the same way; without
// it the lookups would find no module and every pointer would be null.
TEST(BindingTest, ShellIsMappedBeforeMainRuns) {
    EXPECT_NE(s_shellAtStart, nullptr);
    EXPECT_EQ(reinterpret_cast<void*>(&SHGetPathFromIDListA),
              reinterpret_cast<void*>(ShellExport("SHGetPathFromIDListA")));
}

TEST(BindingTest, EntryPointsAreTheShellsOwnExports) {
    ASSERT_NE(ShellExport("SHChangeNotifyRegister"), nullptr);
    ASSERT_NE(ShellExport("SHChangeNotifyDeregister"), nullptr);
    EXPECT_EQ(reinterpret_cast<void*>(pSHChangeNotifyRegister),
              reinterpret_cast<void*>(ShellExport("SHChangeNotifyRegister")));
    EXPECT_EQ(reinterpret_cast<void*>(pSHChangeNotifyDeregister),
              reinterpret_cast<void*>(ShellExport("SHChangeNotifyDeregister")));
}

}  // namespace

int main(int argc, char** argv) {
    s_registerAtStart = pSHChangeNotifyRegister;
    s_deregisterAtStart = pSHChangeNotifyDeregister;
    s_shellAtStart = GetModuleHandleW(L"shell32");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
