// Runs a program of the tests as a child process and collects what it
// writes to standard output and how it ended.
#pragma once

#include <string>
#include <vector>

struct ChildResult {
    std::string output;  // standard output, byte for byte
    int status = 0;      // as waitpid gives it
    bool timedOut = false;
};

// Runs path with args as its whole argv (args[0] included), standard output
// to a pipe. A child still running after the deadline is killed.
ChildResult RunChild(const std::string& path, const std::vector<std::string>& args);

// "exit 0", "signal 2" and the like, for failure messages.
std::string DescribeStatus(int status);
