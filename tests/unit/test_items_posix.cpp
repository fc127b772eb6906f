#include "test_items.h"

#include "item_list.h"

// The stand-in's lists carry any path, existing or not.
TestItem MakeTestItem(const std::string& name) {
    TestItem item;
    item.path = "/t/" + name;
    item.pidl = posix::NewItemList(item.path);
    return item;
}

void FreeTestItem(TestItem* item) {
    CoTaskMemFree(item->pidl);
    item->pidl = nullptr;
}
