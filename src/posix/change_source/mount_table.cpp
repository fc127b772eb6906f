#include "mount_table.h"

#include <unistd.h>

#include <vector>

namespace posix {
namespace {

std::string Unescape(std::string_view field) {
    std::string text;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string_view digits = field.substr(i + 1, 3);
            if (digits.find_first_not_of("01234567") == std::string_view::npos) {
                text += static_cast<char>(std::stoi(std::string(digits), nullptr, 8));
                i += 3;
                continue;
            }
        }
        text += field[i];
    }
    return text;
}

// The non-empty pieces of text between separators.
std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::string_view::npos) end = text.size();
        if (end > start) pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

}  // namespace

bool IsPseudoFileSystem(std::string_view type) {
    static const char* const kTypes[] = {
        "proc",    "sysfs",      "cgroup", "cgroup2",     "devpts",   "debugfs",
        "tracefs", "securityfs", "pstore", "bpf",         "configfs", "fusectl",
        "mqueue",  "hugetlbfs",  "autofs", "binfmt_misc", "efivarfs", "rpc_pipefs",
        "nsfs",    "selinuxfs",  "devfs",  "usbfs",
    };
    for (const char* known : kTypes) {
        if (type == known) return true;
    }
    return false;
}

MountTable ParseMountInfo(std::string_view mountinfo) {
    MountTable table;
    for (std::string_view line : Split(mountinfo, '\n')) {
        const std::vector<std::string_view> fields = Split(line, ' ');
        // The fixed fields, then optional ones up to "-", then the type.
        size_t dash = 6;
        while (dash < fields.size() && fields[dash] != "-") ++dash;
        if (fields.size() < 5 || dash + 1 >= fields.size()) continue;
        std::string point = Unescape(fields[4]);
        if (IsPseudoFileSystem(fields[dash + 1])) table.pseudo.insert(point);
        table.points.insert(std::move(point));
    }
    return table;
}

std::multiset<std::string> PointsWithin(const std::multiset<std::string>& points,
                                        const std::string& root, const std::string& realRoot) {
    std::multiset<std::string> within;
    const std::string prefix = realRoot == "/" ? "/" : realRoot + "/";
    for (const std::string& point : points) {
        if (point == realRoot) {
            within.insert(root);
        } else if (point.size() > prefix.size() && point.compare(0, prefix.size(), prefix) == 0) {
            std::string inside = root;
            if (root != "/") inside += '/';
            inside.append(point, prefix.size(), std::string::npos);
            within.insert(inside);
        }
    }
    return within;
}

std::string ReadMountInfo(int fd) {
    std::string text;
    if (fd < 0 || lseek(fd, 0, SEEK_SET) != 0) return text;
    char chunk[16384];
    for (;;) {
        const ssize_t size = read(fd, chunk, sizeof chunk);
        if (size <= 0) break;
        text.append(chunk, static_cast<size_t>(size));
    }
    return text;
}

}  // namespace posix
