#include "pseudo_mounts.h"

#include <fstream>
#include <sstream>
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

std::unordered_set<std::string> PseudoMountPoints(std::string_view mountinfo) {
    std::unordered_set<std::string> points;
    for (std::string_view line : Split(mountinfo, '\n')) {
        const std::vector<std::string_view> fields = Split(line, ' ');
        // The fixed fields, then optional ones up to "-", then the type.
        size_t dash = 6;
        while (dash < fields.size() && fields[dash] != "-") ++dash;
        if (fields.size() < 5 || dash + 1 >= fields.size()) continue;
        if (IsPseudoFileSystem(fields[dash + 1])) points.insert(Unescape(fields[4]));
    }
    return points;
}

std::unordered_set<std::string> ReadPseudoMountPoints() {
    std::ifstream file("/proc/self/mountinfo");
    std::stringstream text;
    text << file.rdbuf();
    return PseudoMountPoints(text.str());
}

}  // namespace posix
