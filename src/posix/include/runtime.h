// Linux stand-in for the Microsoft C runtime's printf, puts and fflush: only
// what Orvane's output lines use is provided.
//
// The tool's formats are written for msvcrt, whose meaning differs from
// glibc's in ways that change the text:
//  - "%p" is the pointer as upper-case hex, zero-padded to the pointer's
//    width, with no prefix; null is all zeros (glibc writes "(nil)" or 0x...);
//  - the "l" size is 32 bits, the width of LONG and ULONG on Windows;
//  - a "%s" argument is written so that every line stays one line and reads
//    back to the same bytes: each control byte (0x01-0x1F, 0x7F), the
//    backslash itself, and both bytes of each UTF-8 C1 control (U+0080 to
//    U+009F, bytes c2 80 to c2 9f) become a backslash and three octal digits
//    (a newline is \012, a backslash \134, U+009B \302\233). Quotes and
//    every other byte go out unchanged.
// Flags, width and precision work as in C for d, i, u, x, X, o, c and s.
//
// Text for stdout does not pass through the C library's stream: it is held
// and written by the stand-in's own writer (standard_output.h), which fflush
// drives. Other streams are the C library's.
//
// <cstdio> is included first, so its own declarations are not renamed; code
// that includes this header calls the stand-ins, also through std::.
#pragma once

#include <cstdarg>
#include <cstdio>

int orvane_msvcrt_vfprintf(FILE* stream, const char* format, va_list args);
int orvane_msvcrt_printf(const char* format, ...);
int orvane_msvcrt_fprintf(FILE* stream, const char* format, ...);
int orvane_msvcrt_puts(const char* text);
int orvane_msvcrt_fflush(FILE* stream);

namespace std {
using ::orvane_msvcrt_fflush;
using ::orvane_msvcrt_printf;
using ::orvane_msvcrt_puts;
}  // namespace std

#define printf orvane_msvcrt_printf
// Function-like, so that "(fflush)(stream)" still names the C library's own.
#define puts(text) orvane_msvcrt_puts(text)
#define fflush(stream) orvane_msvcrt_fflush(stream)
