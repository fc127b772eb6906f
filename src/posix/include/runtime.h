// Linux stand-in for the Microsoft C runtime's printf: only what Orvane's
// output lines use is provided.
//
// The tool's formats are written for msvcrt, whose meaning differs from
// glibc's in ways that change the text:
//  - "%p" is the pointer as upper-case hex, zero-padded to the pointer's
//    width, with no prefix; null is all zeros (glibc writes "(nil)" or 0x...);
//  - the "l" size is 32 bits, the width of LONG and ULONG on Windows;
//  - a "%s" argument is written with every control byte (0x01-0x1F, 0x7F)
//    as a backslash and three octal digits, so a file name that holds a
//    newline cannot forge a line of its own. Other bytes go out unchanged.
// Flags, width and precision work as in C for d, i, u, x, X, o, c and s.
//
// <cstdio> is included first, so its own declaration of printf is not
// renamed; code that includes this header calls the stand-in.
#pragma once

#include <cstdarg>
#include <cstdio>

int orvane_msvcrt_vfprintf(FILE* stream, const char* format, va_list args);
int orvane_msvcrt_printf(const char* format, ...);

#define printf orvane_msvcrt_printf
