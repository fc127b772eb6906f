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

std::vector<std::string_view> Fields(std::string_view line) {
    std::vector<std::string_view> fields;
    size_t start = 0;
    while (start < line.size()) {
        size_t end = line.find(' ', start);
        if (end == std::string_view::npos) end = line.size();
        if (end > start) fields.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    return fields;
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
    size_t start = 0;
    while (start < mountinfo.size()) {
        size_t end = mountinfo.find('\n', start);
        if (end == std::string_view::npos) end = mountinfo.size();
        const std::vector<std::string_view> fields = Fields(mountinfo.substr(start, end - start));
        start = end + 1;
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
