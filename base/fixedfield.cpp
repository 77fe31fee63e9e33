#include "base/fixedfield.h"

#include <cstring>

namespace fixedfield {

std::size_t cutLength(const char *data, std::size_t size, std::size_t room)
{
    if (size <= room)
        return size;
    std::size_t n = room;
    // data[n] is the first byte left out; while it continues a character, that
    // character started inside the room and must go as a whole.
    while (n > 0 && (static_cast<unsigned char>(data[n]) & 0xC0) == 0x80)
        --n;
    return n;
}

void putBytes(char *field, std::size_t width, const char *data, std::size_t size)
{
    std::memset(field, 0, width);
    const std::size_t n = cutLength(data, size, width);
    if (n > 0)
        std::memcpy(field, data, n);
}

void putTerminated(char *field, std::size_t width, const char *data, std::size_t size)
{
    if (width == 0)
        return;
    std::memset(field, 0, width);
    const std::size_t n = cutLength(data, size, width - 1);
    if (n > 0)
        std::memcpy(field, data, n);
}

std::size_t length(const char *field, std::size_t width)
{
    const void *nul = std::memchr(field, 0, width);
    return nul ? std::size_t(static_cast<const char *>(nul) - field) : width;
}

bool fitsWithNul(const char *data, std::size_t size, std::size_t width)
{
    return size < width && std::memchr(data, 0, size) == nullptr;
}

} // namespace fixedfield
