// The daemon's bounded string layer; contracts in the header.
#include "ortavis_upgd_securec.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

bool UsableDest(const void *dest, std::size_t destMax)
{
    return dest != nullptr && destMax != 0 && destMax <= kSecurecMaxLen;
}

}  // namespace

int memset_s(void *dest, std::size_t destMax, int c, std::size_t count)
{
    if (!UsableDest(dest, destMax)) {
        return EINVAL;
    }
    if (count > destMax) {
        std::memset(dest, c, destMax);
        return ERANGE;
    }
    std::memset(dest, c, count);
    return 0;
}

int strncpy_s(char *dest, std::size_t destMax, const char *src, std::size_t count)
{
    if (!UsableDest(dest, destMax)) {
        return EINVAL;
    }
    if (src == nullptr || count > kSecurecMaxLen) {
        dest[0] = '\0';
        return EINVAL;
    }
    std::size_t len = strnlen(src, count);
    if (len >= destMax) {
        dest[0] = '\0';
        return ERANGE;
    }
    if (src < dest + destMax && dest < src + len + 1) {
        std::memmove(dest, src, len);
    } else {
        std::memcpy(dest, src, len);
    }
    dest[len] = '\0';
    return 0;
}

int strncat_s(char *dest, std::size_t destMax, const char *src, std::size_t count)
{
    if (!UsableDest(dest, destMax)) {
        return EINVAL;
    }
    if (src == nullptr || count > kSecurecMaxLen) {
        return EINVAL;
    }
    std::size_t have = strnlen(dest, destMax);
    if (have == destMax) {
        return EINVAL;
    }
    std::size_t add = strnlen(src, count);
    if (add >= destMax - have) {
        return ERANGE;
    }
    std::memmove(dest + have, src, add);
    dest[have + add] = '\0';
    return 0;
}

int vsnprintf_s(char *dest, std::size_t destMax, std::size_t count, const char *format, va_list ap)
{
    if (!UsableDest(dest, destMax)) {
        return -1;
    }
    if (format == nullptr || count > kSecurecMaxLen) {
        dest[0] = '\0';
        return -1;
    }
    std::size_t limit = count < destMax ? count : destMax - 1;
    int len = std::vsnprintf(dest, limit + 1, format, ap);
    if (len < 0 || static_cast<std::size_t>(len) > limit) {
        dest[0] = '\0';
        return -1;
    }
    return len;
}

int snprintf_s(char *dest, std::size_t destMax, std::size_t count, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int ret = vsnprintf_s(dest, destMax, count, format, ap);
    va_end(ap);
    return ret;
}
