// Bounded access to fixed-width text fields (records and device requests).
// Every copy into such a field goes through here, so nothing can overrun one.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstring>

namespace fixedfield {

// Largest prefix of utf8 that is at most width bytes and does not split a character.
int cutLength(const QByteArray &utf8, std::size_t width);

// Zero-fills the field, then copies the UTF-8 bytes, cut on a character boundary at width.
// A value exactly as wide as the field fills it without a terminating NUL.
void putBytes(char *field, std::size_t width, const QByteArray &utf8);

// The field's bytes up to its first NUL or its width, whichever comes first.
QByteArray getBytes(const char *field, std::size_t width);

// True when utf8 fits the field with room for a terminating NUL.
inline bool fitsWithNul(const QByteArray &utf8, std::size_t width)
{
    return std::size_t(utf8.size()) < width && !utf8.contains('\0');
}

template <std::size_t N>
void put(char (&field)[N], const QString &text) { putBytes(field, N, text.toUtf8()); }

template <std::size_t N>
void put(char (&field)[N], const QByteArray &utf8) { putBytes(field, N, utf8); }

template <std::size_t N>
QString get(const char (&field)[N]) { return QString::fromUtf8(getBytes(field, N)); }

template <std::size_t N>
QByteArray bytes(const char (&field)[N]) { return getBytes(field, N); }

} // namespace fixedfield
