#pragma once

#include <algorithm>
#include <cstring>

// Names compared as FAT compares them: ASCII letters without regard to case, every other byte
// or character as it is. Unicode case rules would match more (the Kelvin sign lowercases to k).

constexpr char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }
constexpr char16_t asciiLower(char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c - u'A' + u'a') : c; }

constexpr bool isAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

constexpr bool sameIgnoringAsciiCase(char a, char b) { return asciiLower(a) == asciiLower(b); }

// Whether the `length` bytes at `a` and at `b` are the same name to FAT.
inline bool sameIgnoringAsciiCase(const char* a, const char* b, std::size_t length)
{
    return std::equal(a, a + length, b, [](char x, char y) { return sameIgnoringAsciiCase(x, y); });
}
