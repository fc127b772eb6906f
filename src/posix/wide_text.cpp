#include "wide_text.h"

#include <windows.h>

#include <cstring>

namespace posix {
namespace {

constexpr wchar_t kEscapedByteBase = 0xDC80;

bool IsContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// Decodes one well-formed UTF-8 sequence at the front of bytes (no overlong
// forms, no surrogates, nothing above U+10FFFF); returns its length, or 0.
size_t DecodeUtf8(std::string_view bytes, wchar_t* out) {
    const unsigned char lead = static_cast<unsigned char>(bytes[0]);
    size_t length;
    uint32_t code;
    uint32_t minimum;
    if (lead < 0x80) {
        *out = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, code = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, code = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, code = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (bytes.size() < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = static_cast<unsigned char>(bytes[i]);
        if (!IsContinuation(next)) return 0;
        code = (code << 6) | (next & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    *out = static_cast<wchar_t>(code);
    return length;
}

void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

}  // namespace

std::wstring WideFromBytes(std::string_view bytes) {
    std::wstring wide;
    wide.reserve(bytes.size());
    while (!bytes.empty()) {
        wchar_t code;
        size_t length = DecodeUtf8(bytes, &code);
        if (length == 0) {
            code = kEscapedByteBase + static_cast<unsigned char>(bytes[0]) - 0x80;
            length = 1;
        }
        wide += code;
        bytes.remove_prefix(length);
    }
    return wide;
}

std::string BytesFromWide(std::wstring_view wide) {
    std::string bytes;
    bytes.reserve(wide.size());
    for (wchar_t c : wide) {
        // wchar_t holds 32-bit code units here; clang-tidy takes it for a
        // character type that sign-extends.
        const uint32_t code = static_cast<uint32_t>(c);  // NOLINT(bugprone-signed-char-misuse)
        if (code >= kEscapedByteBase && code <= kEscapedByteBase + 0x7F) {
            bytes += static_cast<char>(code - kEscapedByteBase + 0x80);
        } else {
            AppendUtf8(bytes, code);
        }
    }
    return bytes;
}

}  // namespace posix

// CP_ACP is the byte image of the wide text; any other code page is refused.
int WINAPI WideCharToMultiByte(UINT CodePage, DWORD, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR,
                               BOOL* lpUsedDefaultChar) {
    if (lpUsedDefaultChar) *lpUsedDefaultChar = FALSE;
    if (CodePage != CP_ACP || !lpWideCharStr || cbMultiByte < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const bool terminated = cchWideChar < 0;
    const size_t length = terminated ? wcslen(lpWideCharStr) : static_cast<size_t>(cchWideChar);
    std::string bytes = posix::BytesFromWide(std::wstring_view(lpWideCharStr, length));
    if (terminated) bytes += '\0';
    if (cbMultiByte == 0) return static_cast<int>(bytes.size());
    if (bytes.size() > static_cast<size_t>(cbMultiByte)) {
        SetLastError(122);  // ERROR_INSUFFICIENT_BUFFER
        return 0;
    }
    memcpy(lpMultiByteStr, bytes.data(), bytes.size());
    return static_cast<int>(bytes.size());
}
