// The command line's round trip: an argument vector quoted by the stand-in
// and split by CommandLineToArgvW comes back byte for byte, in memory and
// through a real process's argv.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "command_line.h"
#include "wide_text.h"

namespace {

struct ArgvCase {
    const char* name;
    std::vector<std::string> args;
};

const std::vector<ArgvCase> kTrickyVectors = {
    {"plain words", {"orvane", "/tmp/t", "x"}},
    {"spaces", {"orvane", "a b", " leading", "trailing ", "  "}},
    {"tabs, newlines, vertical tabs", {"orvane", "a\tb", "\n", "x\vy"}},
    {"quotes", {"orvane", "\"", "a\"b", "\"\"", "\"quoted\""}},
    {"backslashes before quotes", {"orvane", "a\\\"b", "\\\\\"", "\\\\\\\"x", "\\\" \\\""}},
    {"backslashes at the end", {"orvane", "a\\", "a\\\\", "a b\\", "\\", "a b\\\\"}},
    {"backslashes elsewhere", {"orvane", "a\\b", "\\\\server\\share", "C:\\t\\a b"}},
    {"empty arguments", {"orvane", "", "x", "", ""}},
    {"only an empty argument", {""}},
    {"non-UTF-8 bytes", {"orvane", "\xff", "\x80\x80", "a\xc3", "\xed\xa0\x80", "\xc0\xaf \""}},
    {"UTF-8", {"orvane", "h\xc3\xa9llo", "\xe6\x97\xa5\xe6\x9c\xac", "\xf0\x9f\x98\x80 x"}},
};

std::vector<std::wstring> Widen(const std::vector<std::string>& args) {
    std::vector<std::wstring> wide;
    wide.reserve(args.size());
    for (const std::string& arg : args) wide.push_back(posix::WideFromBytes(arg));
    return wide;
}

std::vector<std::string> SplitToBytes(const std::wstring& line) {
    int count = -1;
    LPWSTR* argv = CommandLineToArgvW(line.c_str(), &count);
    std::vector<std::string> args;
    for (int i = 0; argv && i < count; ++i) args.push_back(posix::BytesFromWide(argv[i]));
    LocalFree(argv);
    return args;
}

TEST(CommandLineTest, TrickyVectorsRoundTrip) {
    for (const ArgvCase& row : kTrickyVectors) {
        SCOPED_TRACE(row.name);
        const std::wstring line = posix::QuoteCommandLine(Widen(row.args));
        EXPECT_EQ(SplitToBytes(line), row.args);
    }
}

// Windows' own examples of how a command line splits, after a program name.
TEST(CommandLineTest, SplitsByTheWindowsRules) {
    const struct {
        const wchar_t* line;
        std::vector<std::string> args;
    } rows[] = {
        {L"p \"abc\" d e", {"p", "abc", "d", "e"}},
        {L"p a\\\\\\b d\"e f\"g h", {"p", "a\\\\\\b", "de fg", "h"}},
        {L"p a\\\\\\\"b c d", {"p", "a\\\"b", "c", "d"}},
        {L"p a\\\\\\\\\"b c\" d e", {"p", "a\\\\b c", "d", "e"}},
        {L"  p\t\tq  ", {"p", "q"}},
        {L"", {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(posix::BytesFromWide(row.line));
        EXPECT_EQ(SplitToBytes(row.line), row.args);
    }
}

// The child splits GetCommandLineW() and writes each argument back as bytes
// with a NUL after it.
TEST(CommandLineTest, ARealArgvComesBackByteForByte) {
    for (const ArgvCase& row : kTrickyVectors) {
        SCOPED_TRACE(row.name);
        const ChildResult child = RunChild(PRINT_ARGV_CHILD, row.args);
        ASSERT_FALSE(child.timedOut);
        EXPECT_EQ(DescribeStatus(child.status), "exit 0");
        std::string expected;
        for (const std::string& arg : row.args) expected += arg + '\0';
        EXPECT_EQ(child.output, expected);
    }
}

}  // namespace
