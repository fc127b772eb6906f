// The tool prints through msvcrt's own printf and puts, whose formats its
// lines are written for. MinGW's g++ would otherwise compile printf into a
// call to MinGW's own implementation, which formats some values differently.
#include <stdio.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "stdout_capture.h"

// Declared again as msvcrt's export: this does not compile if <stdio.h> made
// printf MinGW's inline C++ function, and it takes the address from the
// import table, which is msvcrt's own entry point.
extern "C" __declspec(dllimport) int __cdecl printf(const char* format, ...);

namespace {

TEST(MsvcrtPrintfTest, PrintfIsMsvcrtsOwnExport) {
    const FARPROC msvcrtPrintf = GetProcAddress(GetModuleHandleW(L"msvcrt"), "printf");
    ASSERT_NE(msvcrtPrintf, nullptr);
    EXPECT_EQ(reinterpret_cast<void*>(&printf), reinterpret_cast<void*>(msvcrtPrintf));
}

std::string Printed(const std::function<void()>& print) {
    StdoutCapture capture;
    print();
    return capture.Finish();
}

// Each row is something msvcrt prints its own way: MinGW's printf writes a
// pointer in lower case and an exponent with two digits, and a runtime in
// binary mode would end a line with a bare LF.
TEST(MsvcrtPrintfTest, FormatsAndLineEndsAreMsvcrts) {
    const std::string pointer = std::string(2 * sizeof(void*) - 6, '0') + "ABCDEF";
    const struct {
        const char* name;
        std::function<void()> print;
        std::string expected;
    } rows[] = {
        {"pointer in upper case, zero-padded, no prefix",
         [] { printf("%p", reinterpret_cast<void*>(0xABCDEF)); }, pointer},
        {"three exponent digits", [] { printf("%e", 1.0); }, "1.000000e+000"},
        {"printf ends a line with CR LF", [] { printf("line\n"); }, "line\r\n"},
        {"puts ends a line with CR LF", [] { puts("Press Ctrl+C to quit"); },
         "Press Ctrl+C to quit\r\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Printed(row.print), row.expected);
    }
}

}  // namespace
