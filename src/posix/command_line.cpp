// GetCommandLineW and CommandLineToArgvW. The process's real argv is quoted
// into one wide command line by the Windows rules, and CommandLineToArgvW
// splits by the same rules, so each argument survives byte for byte.
#include "command_line.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <cstring>

#include "wide_text.h"

namespace {

// Quotes one argument so that the split gives it back: backslashes double
// only where a quote follows them, and a quote is preceded by a backslash.
void AppendQuoted(std::wstring* line, const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        *line += arg;
        return;
    }
    *line += L'"';
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') backslashes = 2 * backslashes + 1;
        line->append(backslashes, L'\\');
        backslashes = 0;
        *line += c;
    }
    line->append(2 * backslashes, L'\\');
    *line += L'"';
}

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v';
}

}  // namespace

namespace posix {

std::wstring QuoteCommandLine(const std::vector<std::wstring>& args) {
    std::wstring line;
    for (size_t i = 0; i < args.size(); ++i) {
        if (i > 0) line += L' ';
        AppendQuoted(&line, args[i]);
    }
    return line;
}

// The Windows rules: 2n backslashes before a quote give n and the quote
// toggles quoting; 2n+1 give n and a literal quote; a doubled quote inside
// quotes gives one quote; other backslashes are literal.
std::vector<std::wstring> SplitCommandLine(const wchar_t* p) {
    std::vector<std::wstring> args;
    while (*p) {
        while (IsBlank(*p)) ++p;
        if (!*p) break;
        std::wstring arg;
        bool quoted = false;
        while (*p && (quoted || !IsBlank(*p))) {
            size_t backslashes = 0;
            while (*p == L'\\') ++backslashes, ++p;
            if (*p == L'"') {
                arg.append(backslashes / 2, L'\\');
                if (backslashes % 2) {
                    arg += L'"';
                } else if (quoted && p[1] == L'"') {
                    arg += L'"';
                    ++p;
                } else {
                    quoted = !quoted;
                }
                ++p;
            } else {
                arg.append(backslashes, L'\\');
                if (*p && (quoted || !IsBlank(*p))) arg += *p++;
            }
        }
        args.push_back(arg);
    }
    return args;
}

}  // namespace posix

namespace {

// A plain pointer, set before any dynamic initialiser could reset it.
wchar_t* s_commandLine;

// glibc calls the functions of .init_array with the process's argc and argv,
// so the command line is known before any static initialiser or main runs.
void CaptureCommandLine(int argc, char** argv, char**) {
    std::vector<std::wstring> args;
    args.reserve(static_cast<size_t>(argc));
    for (int i = 0; i < argc; ++i) args.push_back(posix::WideFromBytes(argv[i]));
    const std::wstring line = posix::QuoteCommandLine(args);
    s_commandLine = static_cast<wchar_t*>(malloc((line.size() + 1) * sizeof(wchar_t)));
    if (s_commandLine) wmemcpy(s_commandLine, line.c_str(), line.size() + 1);
}

__attribute__((section(".init_array"),
               used)) void (*s_captureCommandLine)(int, char**, char**) = CaptureCommandLine;

}  // namespace

LPWSTR WINAPI GetCommandLineW(void) {
    static wchar_t s_empty[1];
    return s_commandLine ? s_commandLine : s_empty;
}

// One block: the pointer array, then the strings it points to.
LPWSTR* WINAPI CommandLineToArgvW(LPCWSTR lpCmdLine, int* pNumArgs) {
    if (!lpCmdLine || !pNumArgs) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::vector<std::wstring> args = posix::SplitCommandLine(lpCmdLine);
    size_t size = (args.size() + 1) * sizeof(LPWSTR);
    for (const std::wstring& arg : args) size += (arg.size() + 1) * sizeof(wchar_t);
    char* block = static_cast<char*>(malloc(size));
    if (!block) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    LPWSTR* argv = reinterpret_cast<LPWSTR*>(block);
    wchar_t* text = reinterpret_cast<wchar_t*>(block + (args.size() + 1) * sizeof(LPWSTR));
    for (size_t i = 0; i < args.size(); ++i) {
        argv[i] = text;
        wmemcpy(text, args[i].c_str(), args[i].size() + 1);
        text += args[i].size() + 1;
    }
    argv[args.size()] = nullptr;
    *pNumArgs = static_cast<int>(args.size());
    return argv;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    free(hMem);
    return nullptr;
}
