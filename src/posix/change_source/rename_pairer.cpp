#include "rename_pairer.h"

#include <utility>

namespace posix {

void RenamePairer::From(MoveEnd end) {
    m_pending.push_back({std::move(end), 0});
}

std::optional<MoveEnd> RenamePairer::TakePartner(uint32_t cookie) {
    for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
        if (it->end.cookie == cookie) {
            MoveEnd end = std::move(it->end);
            m_pending.erase(it);
            return end;
        }
    }
    return std::nullopt;
}

std::vector<MoveEnd> RenamePairer::EndOfRead() {
    std::vector<MoveEnd> unpaired;
    std::vector<Held> kept;
    for (Held& held : m_pending) {
        if (++held.reads >= 2) {
            unpaired.push_back(std::move(held.end));
        } else {
            kept.push_back(std::move(held));
        }
    }
    m_pending = std::move(kept);
    return unpaired;
}

std::vector<MoveEnd> RenamePairer::TakeAll() {
    std::vector<MoveEnd> all;
    for (Held& held : m_pending) all.push_back(std::move(held.end));
    m_pending.clear();
    return all;
}

}  // namespace posix
