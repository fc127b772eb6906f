// Writes the arguments that GetCommandLineW and CommandLineToArgvW give back
// to standard output, each as bytes followed by a NUL, so that the test can
// compare them with the argv it passed.
#include <windows.h>
#include <shellapi.h>

#include <stdio.h>

#include <vector>

int main() {
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!args) {
        fprintf(stderr, "print_argv_child: CommandLineToArgvW failed\n");
        return 1;
    }
    for (int i = 0; i < count; ++i) {
        const int size = WideCharToMultiByte(CP_ACP, 0, args[i], -1, nullptr, 0, nullptr, nullptr);
        std::vector<char> bytes(static_cast<size_t>(size));
        WideCharToMultiByte(CP_ACP, 0, args[i], -1, bytes.data(), size, nullptr, nullptr);
        fwrite(bytes.data(), 1, bytes.size(), stdout);
    }
    LocalFree(args);
    return 0;
}
