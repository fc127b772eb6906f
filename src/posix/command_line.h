// The two halves of the command line's round trip, by the Windows rules:
// quoting an argument vector into one line, and splitting a line back.
// Splitting what quoting made gives the arguments back unchanged.
#pragma once

#include <string>
#include <vector>

namespace posix {

std::wstring QuoteCommandLine(const std::vector<std::wstring>& args);

std::vector<std::wstring> SplitCommandLine(const wchar_t* line);

}  // namespace posix
