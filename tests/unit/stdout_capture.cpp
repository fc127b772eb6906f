#include "stdout_capture.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
// msvcrt's tmpnam names a file in the root of the current drive; the user's
// temporary folder is the place for it.
std::string NewTempPath() {
    char folder[MAX_PATH];
    char name[MAX_PATH];
    if (!GetTempPathA(sizeof folder, folder) || !GetTempFileNameA(folder, "orv", 0, name)) abort();
    return name;
}

int DuplicateFd(int fd) {
    return _dup(fd);
}
int ReplaceFd(int from, int to) {
    return _dup2(from, to);
}
int CloseFd(int fd) {
    return _close(fd);
}
#else
std::string NewTempPath() {
    char name[] = "/tmp/orvane-capture-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) abort();
    close(fd);
    return name;
}

int DuplicateFd(int fd) {
    return dup(fd);
}
int ReplaceFd(int from, int to) {
    return dup2(from, to);
}
int CloseFd(int fd) {
    return close(fd);
}
#endif

}  // namespace

// freopen opens the file in the runtime's default mode, which is text mode,
// so a newline still leaves as CR LF on Windows, as it does on the console.
StdoutCapture::StdoutCapture() : m_path(NewTempPath()) {
    fflush(stdout);
    m_savedFd = DuplicateFd(1);
    if (!freopen(m_path.c_str(), "w", stdout)) abort();
}

StdoutCapture::~StdoutCapture() {
    if (m_savedFd >= 0) Finish();
}

std::string StdoutCapture::Finish() {
    fflush(stdout);
    ReplaceFd(m_savedFd, 1);
    CloseFd(m_savedFd);
    m_savedFd = -1;
    std::ifstream file(m_path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    file.close();
    remove(m_path.c_str());
    return text.str();
}
