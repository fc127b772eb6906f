// The Microsoft runtime's printf, as the tool's formats expect it. Each
// conversion is parsed here and handed to the C library with its argument
// taken at msvcrt's width; "%p" and "%s" are written here.
#include <runtime.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "standard_output.h"

namespace {

struct Conversion {
    std::string directive;  // '%', flags, width, precision: what vsnprintf is given
    char size = 0;          // 'h', 'l' (32 bits), 'L' for "ll" or "I64" (64 bits)
    char type = 0;
};

// Reads one conversion after the '%'; "*" widths take their int argument.
const char* ParseConversion(const char* p, va_list* args, Conversion* conversion) {
    conversion->directive = "%";
    while (*p && strchr("-+ #0", *p)) conversion->directive += *p++;
    for (int part = 0; part < 2; ++part) {
        if (part == 1) {
            if (*p != '.') break;
            conversion->directive += *p++;
        }
        if (*p == '*') {
            conversion->directive += std::to_string(va_arg(*args, int));
            ++p;
        }
        while (*p >= '0' && *p <= '9') conversion->directive += *p++;
    }
    if (p[0] == 'l' && p[1] == 'l') {
        conversion->size = 'L', p += 2;
    } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
        conversion->size = 'L', p += 3;
    } else if (*p == 'h' || *p == 'l') {
        conversion->size = *p++;
    }
    conversion->type = *p ? *p++ : '\0';
    return p;
}

void WriteFormatted(std::string* out, const char* directive, ...) {
    char buffer[512];
    va_list args;
    va_start(args, directive);
    int length = vsnprintf(buffer, sizeof buffer, directive, args);
    va_end(args);
    if (length < 0) return;
    if (static_cast<size_t>(length) < sizeof buffer) {
        out->append(buffer, static_cast<size_t>(length));
        return;
    }
    std::string large(static_cast<size_t>(length) + 1, '\0');
    va_start(args, directive);
    vsnprintf(&large[0], large.size(), directive, args);
    va_end(args);
    out->append(large, 0, static_cast<size_t>(length));
}

bool IsOctalEscaped(unsigned char byte) {
    return byte < 0x20 || byte == 0x7F || byte == '\\';
}

// The second byte of a UTF-8 C1 control, whose first byte is 0xC2.
bool IsC1Second(unsigned char byte) {
    return byte >= 0x80 && byte <= 0x9F;
}

void AppendOctal(std::string* out, unsigned char byte) {
    const char code[4] = {'\\', static_cast<char>('0' + (byte >> 6)),
                          static_cast<char>('0' + ((byte >> 3) & 7)),
                          static_cast<char>('0' + (byte & 7))};
    out->append(code, sizeof code);
}

// A control byte would break the line it stands in, and a C1 control would
// reach the terminal as one (U+009B is its CSI), so each is written as a
// backslash and three octal digits. The backslash is written so as well,
// which keeps the text one-to-one: a name with the four characters \012 and
// one with a newline print differently.
void AppendEscaped(std::string* out, const char* text) {
    const char* plain = text;
    const char* p = text;
    for (;; ++p) {
        const unsigned char byte = static_cast<unsigned char>(*p);
        const bool c1 = byte == 0xC2 && IsC1Second(static_cast<unsigned char>(p[1]));
        if (byte != 0 && !c1 && !IsOctalEscaped(byte)) continue;
        out->append(plain, static_cast<size_t>(p - plain));
        if (byte == 0) return;
        AppendOctal(out, byte);
        if (c1) AppendOctal(out, static_cast<unsigned char>(*++p));
        plain = p + 1;
    }
}

std::string Escaped(const char* text) {
    std::string escaped;
    AppendEscaped(&escaped, text);
    return escaped;
}

void WriteInteger(std::string* out, const Conversion& c, va_list* args) {
    const bool isSigned = c.type == 'd' || c.type == 'i';
    std::string directive = c.directive + "ll" + c.type;
    long long value;
    if (c.size == 'L') {
        value = va_arg(*args, long long);
    } else if (isSigned) {
        int32_t v = va_arg(*args, int32_t);
        value = c.size == 'h' ? static_cast<short>(v) : v;
    } else {
        uint32_t v = va_arg(*args, uint32_t);
        value = c.size == 'h' ? static_cast<unsigned short>(v) : v;
    }
    WriteFormatted(out, directive.c_str(), value);
}

void WriteConversion(std::string* out, const Conversion& c, va_list* args) {
    switch (c.type) {
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            WriteInteger(out, c, args);
            break;
        case 'c':
            WriteFormatted(out, (c.directive + 'c').c_str(), va_arg(*args, int));
            break;
        case 's': {
            const char* text = va_arg(*args, const char*);
            if (!text) text = "(null)";
            if (c.directive == "%") {
                AppendEscaped(out, text);
            } else {
                WriteFormatted(out, (c.directive + 's').c_str(), Escaped(text).c_str());
            }
            break;
        }
        case 'p': {
            const int digits = static_cast<int>(2 * sizeof(void*));
            WriteFormatted(
                out, "%0*llX", digits,
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(va_arg(*args, void*))));
            break;
        }
        case '%':
            *out += '%';
            break;
        default:  // Unknown conversions are written as they stand.
            *out += c.directive;
            if (c.type) *out += c.type;
            break;
    }
}

void Format(std::string* out, const char* format, va_list args) {
    va_list cursor;
    va_copy(cursor, args);
    for (const char* p = format; *p;) {
        const char* percent = strchr(p, '%');
        if (!percent) {
            out->append(p);
            break;
        }
        out->append(p, static_cast<size_t>(percent - p));
        // A bare "%s", as every path in a line is, needs no parsing.
        if (percent[1] == 's') {
            const char* text = va_arg(cursor, const char*);
            AppendEscaped(out, text ? text : "(null)");
            p = percent + 2;
            continue;
        }
        Conversion conversion;
        p = ParseConversion(percent + 1, &cursor, &conversion);
        WriteConversion(out, conversion, &cursor);
    }
    va_end(cursor);
}

}  // namespace

int orvane_msvcrt_vfprintf(FILE* stream, const char* format, va_list args) {
    // Kept from call to call, so a line costs no allocation once the
    // longest line so far has been written.
    thread_local std::string t_line;
    t_line.clear();
    Format(&t_line, format, args);
    const int length = static_cast<int>(t_line.size());
    if (stream == stdout) {
        posix::HoldOutput(t_line.data(), t_line.size());
        return length;
    }
    // One write for the whole line, so a reader never sees half of it.
    return fwrite(t_line.data(), 1, t_line.size(), stream) == t_line.size() ? length : -1;
}

int orvane_msvcrt_printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int written = orvane_msvcrt_vfprintf(stdout, format, args);
    va_end(args);
    return written;
}

int orvane_msvcrt_fprintf(FILE* stream, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int written = orvane_msvcrt_vfprintf(stream, format, args);
    va_end(args);
    return written;
}

int orvane_msvcrt_puts(const char* text) {
    posix::HoldOutput(text, strlen(text));
    posix::HoldOutput("\n", 1);
    return 1;
}

// The parentheses call the C library's own fflush, not the stand-in.
int orvane_msvcrt_fflush(FILE* stream) {
    if (stream == stdout) {
        posix::FlushOutput();
        return 0;
    }
    if (!stream) posix::WriteHeldOutput();
    return (fflush)(stream);
}
