// The Linux runtime's printf: a bare "%s", as the tool's lines use, and the
// same conversion with flags, width or precision come out alike apart from
// the padding, and the sizes keep msvcrt's meaning.
#include <windows.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "stdout_capture.h"

namespace {

std::string Printed(const std::function<void()>& print) {
    StdoutCapture capture;
    print();
    fflush(stdout);
    return capture.Finish();
}

TEST(RuntimePrintfTest, StringConversionsEscapeAndPadAlike) {
    const char* const absent = nullptr;
    const struct {
        const char* name;
        std::function<void()> print;
        std::string expected;
    } rows[] = {
        {"bare, escaped", [] { printf("[%s]", "a\nb\\"); }, "[a\\012b\\134]"},
        {"bare, null", [&] { printf("[%s]", absent); }, "[(null)]"},
        {"bare, empty", [] { printf("('%s', '%s')", "", ""); }, "('', '')"},
        {"two in a row, text around", [] { printf("x%s%sy", "-", "+"); }, "x-+y"},
        {"at the very end", [] { printf("a%s", "\t"); }, "a\\011"},
        {"width pads the escaped text", [] { printf("[%8s]", "a\nb"); }, "[  a\\012b]"},
        {"left-justified", [] { printf("[%-4s]", "ab"); }, "[ab  ]"},
        {"precision cuts the escaped text", [] { printf("[%.3s]", "\nb"); }, "[\\01]"},
        {"a percent sign before s is text", [] { printf("%%s"); }, "%s"},
        {"long is 32 bits", [] { printf("%lX", static_cast<LONG>(-1)); }, "FFFFFFFF"},
        {"zero-padded long", [] { printf("%08lX", static_cast<LONG>(0x1A)); }, "0000001A"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Printed(row.print), row.expected);
    }
}

}  // namespace
