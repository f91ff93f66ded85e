// Bounded string functions. Every copy into a fixed buffer or field of the
// daemon goes through these; each is given the destination's size (destMax)
// and never writes past it.
//
//  - memset_s(dest, destMax, c, count): fills count bytes. count > destMax
//    fills destMax bytes and fails.
//  - strncpy_s(dest, destMax, src, count): copies at most count characters of
//    src and terminates. Fails when the copied text and its terminator do not
//    fit; a count of destMax - 1 therefore cuts a longer text to the field.
//    On failure dest (when usable) holds the empty string.
//  - strncat_s(dest, destMax, src, count): appends at most count characters of
//    src to the text in dest. Fails when dest holds no terminator within
//    destMax or the result does not fit; dest then keeps the text it had, so a
//    caller can still use what was built before the failing piece.
//  - snprintf_s(dest, destMax, count, fmt, ...): formats at most
//    min(count, destMax - 1) characters. Returns their number, or -1 when the
//    whole result does not fit (dest then holds the empty string).
//
// The copies return 0 on success and EINVAL or ERANGE on failure; a null
// dest, a destMax of 0 or a destMax over kSecurecMaxLen always fails.
#pragma once

#include <cstdarg>
#include <cstddef>

inline constexpr std::size_t kSecurecMaxLen = 0x7fffffffUL;

int memset_s(void *dest, std::size_t destMax, int c, std::size_t count);
int strncpy_s(char *dest, std::size_t destMax, const char *src, std::size_t count);
int strncat_s(char *dest, std::size_t destMax, const char *src, std::size_t count);
int snprintf_s(char *dest, std::size_t destMax, std::size_t count, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
int vsnprintf_s(char *dest, std::size_t destMax, std::size_t count, const char *format, va_list ap)
    __attribute__((format(printf, 4, 0)));
