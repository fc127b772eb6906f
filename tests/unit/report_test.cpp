#include <cinttypes>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "report/change_report.h"
#include "stdout_capture.h"
#include "test_items.h"

namespace {

#ifdef _WIN32
const std::string kEol = "\r\n";
#else
const std::string kEol = "\n";
#endif

std::string Report(ITEMIDLIST* item1, ITEMIDLIST* item2, LONG lEvent) {
    StdoutCapture capture;
    DoShellNotify(nullptr, item1, item2, lEvent);
    return capture.Finish();
}

std::string Line(const std::string& name, const std::string& path1, const std::string& path2) {
    return name + "('" + path1 + "', '" + path2 + "')" + kEol;
}

std::string PointerText(const void* pointer) {
    char text[32];
    snprintf(text, sizeof text, "%0*" PRIXPTR, static_cast<int>(2 * sizeof(void*)),
             reinterpret_cast<uintptr_t>(pointer));
    return text;
}

class ReportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        a = MakeTestItem("a.txt");
        b = MakeTestItem("b.txt");
        ASSERT_NE(a.pidl, nullptr);
        ASSERT_NE(b.pidl, nullptr);
    }
    void TearDown() override {
        FreeTestItem(&a);
        FreeTestItem(&b);
    }
    TestItem a, b;
};

struct NamedRow {
    LONG lEvent;
    const char* name;
};

const NamedRow kNamedRows[] = {
    {0x00000001, "SHCNE_RENAMEITEM"},
    {0x00000002, "SHCNE_CREATE"},
    {0x00000004, "SHCNE_DELETE"},
    {0x00000008, "SHCNE_MKDIR"},
    {0x00000010, "SHCNE_RMDIR"},
    {0x00000020, "SHCNE_MEDIAINSERTED"},
    {0x00000040, "SHCNE_MEDIAREMOVED"},
    {0x00000080, "SHCNE_DRIVEREMOVED"},
    {0x00000100, "SHCNE_DRIVEADD"},
    {0x00000200, "SHCNE_NETSHARE"},
    {0x00000400, "SHCNE_NETUNSHARE"},
    {0x00000800, "SHCNE_ATTRIBUTES"},
    {0x00001000, "SHCNE_UPDATEDIR"},
    {0x00002000, "SHCNE_UPDATEITEM"},
    {0x00004000, "SHCNE_SERVERDISCONNECT"},
    {0x00008000, "SHCNE_UPDATEIMAGE"},
    {0x00010000, "SHCNE_DRIVEADDGUI"},
    {0x00020000, "SHCNE_RENAMEFOLDER"},
    {0x00040000, "SHCNE_FREESPACE"},
    {0x08000000, "SHCNE_ASSOCCHANGED"},
};

TEST_F(ReportTest, EveryNamedRowPrintsItsNameAndBothPathsInOrder) {
    for (const NamedRow& row : kNamedRows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Report(a.pidl, b.pidl, row.lEvent), Line(row.name, a.path, b.path));
    }
}

TEST_F(ReportTest, CodesWithoutARowPrintTheirHexPattern) {
    const struct {
        LONG lEvent;
        const char* hex;
    } rows[] = {
        {0x00000000, "00000000"},
        {0x00000003, "00000003"},
        {0x00080000, "00080000"},
        {0x10000000, "10000000"},
        {0x7FFFFFFF, "7FFFFFFF"},
        {static_cast<LONG>(0x80000002u), "80000002"},
        {static_cast<LONG>(0x84000000u), "84000000"},
        {static_cast<LONG>(0xFFFFFFFFu), "FFFFFFFF"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.hex);
        EXPECT_EQ(Report(a.pidl, b.pidl, row.lEvent),
                  Line(std::string("(lEvent:") + row.hex + ")", a.path, b.path));
    }
}

TEST_F(ReportTest, ExtendedEventPrintsThePointersNotThePaths) {
    const std::string zeros(2 * sizeof(void*), '0');
    const struct {
        const char* name;
        ITEMIDLIST* item1;
        ITEMIDLIST* item2;
    } rows[] = {
        {"both", a.pidl, b.pidl},
        {"first only", a.pidl, nullptr},
        {"second only", nullptr, b.pidl},
        {"neither", nullptr, nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Report(row.item1, row.item2, 0x04000000),
                  Line("SHCNE_EXTENDED_EVENT", PointerText(row.item1), PointerText(row.item2)));
    }
    EXPECT_EQ(Report(nullptr, nullptr, 0x04000000), Line("SHCNE_EXTENDED_EVENT", zeros, zeros));
}

TEST_F(ReportTest, AbsentItemsPrintEmptyText) {
    EXPECT_EQ(Report(nullptr, nullptr, 0x08000000), Line("SHCNE_ASSOCCHANGED", "", ""));
    EXPECT_EQ(Report(a.pidl, nullptr, 0x00000002), Line("SHCNE_CREATE", a.path, ""));
    EXPECT_EQ(Report(nullptr, b.pidl, 0x00000003), Line("(lEvent:00000003)", "", b.path));
}

TEST_F(ReportTest, QuotesInPathsAreNotEscaped) {
    TestItem quoted = MakeTestItem("it's.txt");
    ASSERT_NE(quoted.pidl, nullptr);
    EXPECT_EQ(Report(quoted.pidl, nullptr, 0x00000002), Line("SHCNE_CREATE", quoted.path, ""));
    FreeTestItem(&quoted);
}

TEST_F(ReportTest, OnShellNotifyReadsThePairAndReportsHandled) {
    ITEMIDLIST* pair[2] = {a.pidl, b.pidl};
    StdoutCapture capture;
    const int handled =
        OnShellNotify(nullptr, reinterpret_cast<WPARAM>(pair), static_cast<LPARAM>(0x00000001));
    EXPECT_EQ(handled, 1);
    EXPECT_EQ(capture.Finish(), Line("SHCNE_RENAMEITEM", a.path, b.path));
}

TEST_F(ReportTest, OnShellNotifyWithoutAPairPrintsBothItemsAbsent) {
    StdoutCapture capture;
    EXPECT_EQ(OnShellNotify(nullptr, 0, static_cast<LPARAM>(0x00000002)), 1);
    EXPECT_EQ(capture.Finish(), Line("SHCNE_CREATE", "", ""));
}

#ifndef _WIN32
// Linux names may hold any byte but '/' and NUL.
TEST(ReportPosixTest, LongPathsAreNotCut) {
    std::string name;
    while (name.size() < 3000) name += "segment-of-a-long-path/";
    TestItem item = MakeTestItem(name);
    EXPECT_EQ(Report(item.pidl, nullptr, 0x00000002), Line("SHCNE_CREATE", item.path, ""));
    FreeTestItem(&item);
}

TEST(ReportPosixTest, ControlBytesAreEscapedAndNothingElse) {
    const struct {
        const char* name;
        std::string raw;
        std::string printed;
    } rows[] = {
        {"newline", "a\nb", "a\\012b"},
        {"forged line", "x', '')\nSHCNE_DELETE('y", "x', '')\\012SHCNE_DELETE('y"},
        {"tab", "a\tb", "a\\011b"},
        {"first control", "\001", "\\001"},
        {"escape", "\033[31m", "\\033[31m"},
        {"delete", "a\177", "a\\177"},
        {"backslash", "a\\b", "a\\b"},
        {"not utf-8", "a\xff\xfe", "a\xff\xfe"},
        {"utf-8", "\xc3\xa9t\xc3\xa9", "\xc3\xa9t\xc3\xa9"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TestItem item = MakeTestItem(row.raw);
        EXPECT_EQ(Report(item.pidl, nullptr, 0x00000002),
                  Line("SHCNE_CREATE", "/t/" + row.printed, ""));
        FreeTestItem(&item);
    }
}
#endif

}  // namespace
