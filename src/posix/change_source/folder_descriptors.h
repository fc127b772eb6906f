// Folders opened by descriptor, one name at a time below a folder already
// open, so that no symbolic link is followed on the way whatever was swapped
// in, and no path is ever too long to open.
#pragma once

#include <stddef.h>

#include <atomic>
#include <string_view>
#include <vector>

namespace posix {

// Opens the folder reached from baseFd through names, top first, for
// reading. None of them may be a symbolic link. No names opens baseFd's
// own folder again. Returns -1 with errno set when it cannot be opened.
int OpenBeneath(int baseFd, const std::vector<std::string_view>& names);

// Raises the soft limit on open descriptors towards the hard one, so that a
// walk may keep many folders open; returns the soft limit now in force.
size_t RaiseDescriptorLimit();

// The number of descriptors the process has open, or 0 when /proc cannot
// tell.
size_t OpenDescriptors();

// True for the errors that say the process is out of descriptors or memory,
// rather than anything about the folder.
bool OutOfDescriptors(int error);

// A folder's descriptor, kept open while folders below it wait to be opened
// from it, and counted while open so a walk can bound what it holds.
class HeldFolder {
  public:
    HeldFolder(int fd, std::atomic<size_t>* count) : m_fd(fd), m_count(count) { ++*m_count; }
    ~HeldFolder();
    HeldFolder(const HeldFolder&) = delete;
    HeldFolder& operator=(const HeldFolder&) = delete;

    int Fd() const { return m_fd; }

  private:
    const int m_fd;
    std::atomic<size_t>* const m_count;
};

}  // namespace posix
