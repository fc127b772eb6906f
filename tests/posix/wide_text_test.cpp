// The mapping between Linux bytes and wide text: valid UTF-8 becomes its code
// points, every other byte U+DC80 + byte, and any byte string survives the
// round trip.
#include <gtest/gtest.h>

#include <string>

#include "wide_text.h"

namespace {

std::string Printable(const std::string& bytes) {
    std::string text;
    for (unsigned char byte : bytes) {
        char hex[5];
        snprintf(hex, sizeof hex, "\\x%02x", byte);
        text += hex;
    }
    return text;
}

TEST(WideTextTest, MapsEachSequenceAsExpectedAndBack) {
    const struct {
        const char* name;
        std::string bytes;
        std::wstring wide;
    } rows[] = {
        {"ASCII", "abc/", L"abc/"},
        {"two-byte UTF-8", "\xc3\xa9", L"\u00e9"},
        {"three-byte UTF-8", "\xe6\x97\xa5", L"\u65e5"},
        {"four-byte UTF-8", "\xf0\x9f\x98\x80", L"\U0001F600"},
        {"highest code point", "\xf4\x8f\xbf\xbf", L"\U0010FFFF"},
        {"lone continuation byte", "\x80", L"\xdc80"},
        {"byte 0xff", "\xff", L"\xdcff"},
        {"truncated sequence", "\xe6\x97", L"\xdce6\xdc97"},
        {"truncated before ASCII", "\xe6\x97x", L"\xdce6\xdc97x"},
        {"overlong slash", "\xc0\xaf", L"\xdcc0\xdcaf"},
        {"encoded surrogate", "\xed\xa0\x80", L"\xdced\xdca0\xdc80"},
        {"escape-like surrogate", "\xed\xb2\x80", L"\xdced\xdcb2\xdc80"},
        {"above U+10FFFF", "\xf4\x90\x80\x80", L"\xdcf4\xdc90\xdc80\xdc80"},
        {"five-byte lead", "\xf8\x88\x80\x80\x80", L"\xdcf8\xdc88\xdc80\xdc80\xdc80"},
        {"mixed", "a\xff\xc3\xa9\x80z", L"a\xdcff\u00e9\xdc80z"},
        {"embedded NUL", std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(posix::WideFromBytes(row.bytes), row.wide);
        EXPECT_EQ(posix::BytesFromWide(row.wide), row.bytes);
    }
}

TEST(WideTextTest, EverySingleByteRoundTrips) {
    for (int value = 0; value < 256; ++value) {
        const std::string bytes(1, static_cast<char>(value));
        SCOPED_TRACE(Printable(bytes));
        const std::wstring wide = posix::WideFromBytes(bytes);
        ASSERT_EQ(wide.size(), 1u);
        const wchar_t expected = value < 0x80 ? value : 0xDC00 + value;
        EXPECT_EQ(wide[0], expected);
        EXPECT_EQ(posix::BytesFromWide(wide), bytes);
    }
}

// Pairs catch a decoder that swallows or misreads the byte after a bad one.
TEST(WideTextTest, EveryPairOfBytesRoundTrips) {
    for (int first = 0; first < 256; ++first) {
        for (int second = 0; second < 256; ++second) {
            const std::string bytes = {static_cast<char>(first), static_cast<char>(second)};
            const std::string back = posix::BytesFromWide(posix::WideFromBytes(bytes));
            if (back != bytes) {
                ADD_FAILURE() << Printable(bytes) << " came back as " << Printable(back);
                return;
            }
        }
    }
}

}  // namespace
