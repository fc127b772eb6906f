#include "change_source/held_lines.h"

#include <shlobj.h>

#include <gtest/gtest.h>

namespace {

using posix::HeldLines;
using posix::ShellLine;

std::vector<std::string> Texts(const std::vector<ShellLine>& lines) {
    std::vector<std::string> texts;
    texts.reserve(lines.size());
    for (const ShellLine& line : lines) {
        texts.push_back(std::to_string(line.event) + " " + line.path1 +
                        (line.path2 ? " " + *line.path2 : ""));
    }
    return texts;
}

TEST(HeldLinesTest, AFileMovedAwayAndMadeAnewReadsDeletedThenCreated) {
    HeldLines held;
    held.Reserve(7);
    held.Put({SHCNE_CREATE, "/t/f", std::nullopt});
    EXPECT_TRUE(held.TakeReady().empty());  // waits behind the move
    held.Fill(7, {SHCNE_DELETE, "/t/f", std::nullopt});
    EXPECT_EQ(Texts(held.TakeReady()), (std::vector<std::string>{"4 /t/f", "2 /t/f"}));
    EXPECT_TRUE(held.Empty());
}

TEST(HeldLinesTest, EachPlaceIsFilledByItsOwnCookieWhateverTheOrder) {
    HeldLines held;
    held.Reserve(1);
    held.Reserve(2);
    held.Put({SHCNE_ATTRIBUTES, "/t/x", std::nullopt});
    held.Fill(2, {SHCNE_RENAMEITEM, "/t/b", std::string("/t/c")});
    EXPECT_TRUE(held.TakeReady().empty());  // the first place is still open
    held.Fill(1, {0, "", std::nullopt});    // told no more: the place just goes
    EXPECT_EQ(Texts(held.TakeReady()), (std::vector<std::string>{"1 /t/b /t/c", "2048 /t/x"}));
    EXPECT_TRUE(held.Empty());
}

TEST(HeldLinesTest, AFillWithoutAPlaceIsAnOrdinaryLine) {
    HeldLines held;
    held.Fill(9, {SHCNE_CREATE, "/t/in", std::nullopt});
    EXPECT_EQ(Texts(held.TakeReady()), (std::vector<std::string>{"2 /t/in"}));
}

}  // namespace
