#include "test_items.h"

namespace {

// The shell makes an item identifier list only for a path that exists, so
// every test item is a real, empty file in this folder.
const char s_folder[] = "C:\\orvane-test";

std::wstring Widen(const std::string& text) {
    const int size = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(size, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], size);
    wide.resize(size - 1);
    return wide;
}

bool CreateEmptyFile(const std::string& path) {
    CreateDirectoryA(s_folder, nullptr);
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    CloseHandle(file);
    return true;
}

}  // namespace

// An item whose list has no path text is returned without a list: a test
// that compared two empty texts would prove nothing.
TestItem MakeTestItem(const std::string& name) {
    TestItem item;
    const std::string path = std::string(s_folder) + "\\" + name;
    if (!CreateEmptyFile(path)) return item;
    item.pidl = ILCreateFromPathW(Widen(path).c_str());
    char text[MAX_PATH] = "";
    if (item.pidl && SHGetPathFromIDListA(item.pidl, text) && text[0]) {
        item.path = text;
    } else {
        FreeTestItem(&item);
    }
    return item;
}

void FreeTestItem(TestItem* item) {
    CoTaskMemFree(item->pidl);
    item->pidl = nullptr;
    if (!item->path.empty()) DeleteFileA(item->path.c_str());
}
