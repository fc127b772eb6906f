// The Microsoft runtime's printf, as the tool's formats expect it. Each
// conversion is parsed here and handed to the C library with its argument
// taken at msvcrt's width; "%p" and "%s" are written here.
#include <runtime.h>

#include <cstdint>
#include <cstring>
#include <string>

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

// A control byte would break the line it stands in, so it is written as a
// backslash and three octal digits.
std::string EscapeControls(const char* text) {
    std::string escaped;
    for (const char* p = text; *p; ++p) {
        const unsigned char byte = static_cast<unsigned char>(*p);
        if (byte < 0x20 || byte == 0x7F) {
            char code[5];
            snprintf(code, sizeof code, "\\%03o", byte);
            escaped += code;
        } else {
            escaped += *p;
        }
    }
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
            WriteFormatted(out, (c.directive + 's').c_str(),
                           EscapeControls(text ? text : "(null)").c_str());
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

}  // namespace

int orvane_msvcrt_vfprintf(FILE* stream, const char* format, va_list args) {
    va_list cursor;
    va_copy(cursor, args);
    std::string out;
    for (const char* p = format; *p;) {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        Conversion conversion;
        p = ParseConversion(p + 1, &cursor, &conversion);
        WriteConversion(&out, conversion, &cursor);
    }
    va_end(cursor);
    // One write for the whole line, so a reader never sees half of it.
    return fwrite(out.data(), 1, out.size(), stream) == out.size() ? static_cast<int>(out.size())
                                                                   : -1;
}

int orvane_msvcrt_printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int written = orvane_msvcrt_vfprintf(stdout, format, args);
    va_end(args);
    return written;
}
