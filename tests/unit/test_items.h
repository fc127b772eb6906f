// Item identifier lists for the report tests, made the platform's way, with
// the path text the platform's conversion gives for them.
#pragma once

#include <string>

#include <windows.h>
#include <shlobj.h>

struct TestItem {
    ITEMIDLIST* pidl = nullptr;
    std::string path;  // what SHGetPathFromIDListA gives for pidl
};

// name is a file name of a few plain characters, or on Linux any bytes.
TestItem MakeTestItem(const std::string& name);
void FreeTestItem(TestItem* item);
