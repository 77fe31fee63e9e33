#include "fixedfield.h"

namespace fixedfield {

int cutLength(const QByteArray &utf8, std::size_t width)
{
    if (std::size_t(utf8.size()) <= width)
        return utf8.size();
    int n = int(width);
    // utf8[n] is the first byte left out; while it continues a character, that
    // character started inside the field and must go as a whole.
    while (n > 0 && (uchar(utf8.at(n)) & 0xC0) == 0x80)
        --n;
    return n;
}

void putBytes(char *field, std::size_t width, const QByteArray &utf8)
{
    std::memset(field, 0, width);
    const int n = cutLength(utf8, width);
    if (n > 0)
        std::memcpy(field, utf8.constData(), std::size_t(n));
}

QByteArray getBytes(const char *field, std::size_t width)
{
    const void *nul = std::memchr(field, 0, width);
    const std::size_t n = nul ? std::size_t(static_cast<const char *>(nul) - field) : width;
    return QByteArray(field, int(n));
}

} // namespace fixedfield
