#include "item_list.h"

#include <errno.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "wide_text.h"

struct _ITEMIDLIST {
    size_t length;
    char path[1];  // length bytes of path, then a NUL
};

namespace posix {

size_t ItemListSize(std::string_view path) {
    return offsetof(ITEMIDLIST, path) + path.size() + 1;
}

ITEMIDLIST* PlaceItemList(void* block, std::string_view path) {
    ITEMIDLIST* pidl = static_cast<ITEMIDLIST*>(block);
    pidl->length = path.size();
    memcpy(pidl->path, path.data(), path.size());
    pidl->path[path.size()] = '\0';
    return pidl;
}

ITEMIDLIST* NewItemList(std::string_view path) {
    void* block = malloc(ItemListSize(path));
    return block ? PlaceItemList(block, path) : nullptr;
}

std::string_view ItemListPath(const ITEMIDLIST* pidl) {
    return std::string_view(pidl->path, pidl->length);
}

namespace {

// Makes a relative path absolute against the current directory, and drops
// "." and empty components and a trailing slash. ".." is kept as written,
// since it means the parent of what the previous component really is, which
// can be a symbolic link.
std::string AbsolutePath(const std::string& path) {
    std::string joined;
    if (path.empty() || path[0] != '/') {
        char* cwd = getcwd(nullptr, 0);
        if (cwd) joined = cwd;
        free(cwd);
        joined += '/';
    }
    joined += path;

    std::string clean;
    size_t start = 0;
    while (start <= joined.size()) {
        size_t end = joined.find('/', start);
        if (end == std::string::npos) end = joined.size();
        std::string_view part(joined.data() + start, end - start);
        if (!part.empty() && part != ".") {
            clean += '/';
            clean += part;
        }
        start = end + 1;
    }
    return clean.empty() ? "/" : clean;
}

DWORD ErrorFromErrno(int error) {
    switch (error) {
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
        case ENAMETOOLONG:
        case ELOOP:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        default:
            return ERROR_INVALID_PARAMETER;
    }
}

}  // namespace
}  // namespace posix

// As on Windows, only an existing item has a list: the path must name
// something that lstat can see. The list carries the absolute path.
PIDLIST_ABSOLUTE WINAPI ILCreateFromPathW(PCWSTR pszPath) {
    if (!pszPath || !*pszPath) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::string path = posix::AbsolutePath(posix::BytesFromWide(pszPath));
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) {
        SetLastError(posix::ErrorFromErrno(errno));
        return nullptr;
    }
    return posix::NewItemList(path);
}

// Copies the path into a MAX_PATH buffer. A path that does not fit gives an
// empty text and FALSE rather than a cut one.
BOOL WINAPI SHGetPathFromIDListA(PCIDLIST_ABSOLUTE pidl, LPSTR pszPath) {
    if (!pszPath) return FALSE;
    pszPath[0] = '\0';
    if (!pidl) return FALSE;
    const std::string_view path = posix::ItemListPath(pidl);
    if (path.size() >= MAX_PATH) return FALSE;
    memcpy(pszPath, path.data(), path.size());
    pszPath[path.size()] = '\0';
    return TRUE;
}

// The desktop, the root of the namespace, is the root of the file system.
HRESULT WINAPI SHGetSpecialFolderLocation(HWND, int csidl, PIDLIST_ABSOLUTE* ppidl) {
    if (!ppidl) return E_INVALIDARG;
    *ppidl = nullptr;
    if (csidl != CSIDL_DESKTOP) return E_INVALIDARG;
    *ppidl = posix::NewItemList("/");
    return *ppidl ? S_OK : E_OUTOFMEMORY;
}

void WINAPI CoTaskMemFree(LPVOID pv) {
    free(pv);
}
