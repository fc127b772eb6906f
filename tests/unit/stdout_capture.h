// Captures what the code under test writes to standard output, byte for
// byte: the file is read back in binary, so CR LF line ends stay visible.
#pragma once

#include <string>

class StdoutCapture {
  public:
    StdoutCapture();
    ~StdoutCapture();
    // Restores standard output and returns what was written meanwhile.
    std::string Finish();

  private:
    int m_savedFd = -1;
    std::string m_path;
};
