// The Qt face of the bounded field helper (base/fixedfield.h): the same cutting rule for
// QString and QByteArray values.
#pragma once

#include "base/fixedfield.h"

#include <QByteArray>
#include <QString>

namespace fixedfield {

// Largest prefix of utf8 that is at most width bytes and does not split a character.
inline int cutLength(const QByteArray &utf8, std::size_t width)
{
    return int(cutLength(utf8.constData(), std::size_t(utf8.size()), width));
}

inline void putBytes(char *field, std::size_t width, const QByteArray &utf8)
{
    putBytes(field, width, utf8.constData(), std::size_t(utf8.size()));
}

// The field's bytes up to its first NUL or its width, whichever comes first.
inline QByteArray getBytes(const char *field, std::size_t width)
{
    return QByteArray(field, int(length(field, width)));
}

inline bool fitsWithNul(const QByteArray &utf8, std::size_t width)
{
    return fitsWithNul(utf8.constData(), std::size_t(utf8.size()), width);
}

template <std::size_t N>
void put(char (&field)[N], const QString &text)
{
    putBytes(field, N, text.toUtf8());
}

template <std::size_t N>
void put(char (&field)[N], const QByteArray &utf8)
{
    putBytes(field, N, utf8);
}

template <std::size_t N>
QString get(const char (&field)[N])
{
    return QString::fromUtf8(getBytes(field, N));
}

template <std::size_t N>
QByteArray bytes(const char (&field)[N])
{
    return getBytes(field, N);
}

// True when the text fits the field with its NUL.
template <std::size_t N>
bool fits(const char (&)[N], const QString &text)
{
    return fitsWithNul(text.toUtf8(), N);
}

} // namespace fixedfield
