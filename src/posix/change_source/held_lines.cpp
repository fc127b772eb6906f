#include "held_lines.h"

#include <utility>

namespace posix {

void HeldLines::Reserve(uint32_t cookie) {
    m_entries.push_back({ShellLine{}, cookie, true});
}

void HeldLines::Fill(uint32_t cookie, ShellLine line) {
    for (Entry& entry : m_entries) {
        if (entry.open && entry.cookie == cookie) {
            entry.line = std::move(line);
            entry.open = false;
            return;
        }
    }
    Put(std::move(line));
}

void HeldLines::Put(ShellLine line) {
    if (line.event) m_entries.push_back({std::move(line), 0, false});
}

std::vector<ShellLine> HeldLines::TakeReady() {
    std::vector<ShellLine> ready;
    while (!m_entries.empty() && !m_entries.front().open) {
        if (m_entries.front().line.event) ready.push_back(std::move(m_entries.front().line));
        m_entries.pop_front();
    }
    return ready;
}

}  // namespace posix
