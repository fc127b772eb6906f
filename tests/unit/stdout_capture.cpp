#include "stdout_capture.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>

#ifdef _WIN32
#include <io.h>
#define dup _dup
#define dup2 _dup2
#define close _close
#else
#include <unistd.h>
#endif

StdoutCapture::StdoutCapture() {
#ifdef _WIN32
    char name[L_tmpnam];
    if (!tmpnam(name)) abort();
    m_path = name;
#else
    char name[] = "/tmp/orvane-capture-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) abort();
    close(fd);
    m_path = name;
#endif
    fflush(stdout);
    m_savedFd = dup(1);
    if (!freopen(m_path.c_str(), "w", stdout)) abort();
}

StdoutCapture::~StdoutCapture() {
    if (m_savedFd >= 0) Finish();
}

std::string StdoutCapture::Finish() {
    fflush(stdout);
    dup2(m_savedFd, 1);
    close(m_savedFd);
    m_savedFd = -1;
    std::ifstream file(m_path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    file.close();
    remove(m_path.c_str());
    return text.str();
}
