// Item identifier lists of the shell stand-in: an opaque block that carries
// an item's absolute path as bytes. CoTaskMemFree releases it.
#pragma once

#include <shlobj.h>

#include <string_view>

namespace posix {

// A new list for the path, or null when memory runs out. The path is taken
// as it is; it need not exist.
ITEMIDLIST* NewItemList(std::string_view path);

// The bytes a list for path takes, and the list made in place at block,
// which must be that large and aligned as malloc aligns. Such a list is
// released with the block that holds it, never with CoTaskMemFree.
size_t ItemListSize(std::string_view path);
ITEMIDLIST* PlaceItemList(void* block, std::string_view path);

// The path the list carries; valid while the list lives.
std::string_view ItemListPath(const ITEMIDLIST* pidl);

}  // namespace posix
