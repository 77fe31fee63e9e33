// Bounded access to fixed-width text fields: the records the store hands to the pages and
// the records that cross the device SDK boundary. Every copy into such a field goes
// through here, so nothing can overrun one. Plain C++: the SDK stand-in has no Qt.
//
// The one cutting rule: a text that does not fit is cut at the last UTF-8 character
// boundary inside the room it has, never inside a character.
#pragma once

#include <cstddef>
#include <string>

namespace fixedfield {

// Length of the longest prefix of data[0, size) that is at most `room` bytes and does not
// split a UTF-8 character.
std::size_t cutLength(const char *data, std::size_t size, std::size_t room);

// Zero-fills the field, then copies the text cut to the field's width. A text exactly as
// wide as the field fills it without a terminating NUL (the store's records).
void putBytes(char *field, std::size_t width, const char *data, std::size_t size);

// Zero-fills the field, then copies the text cut to width - 1 bytes, so the field always
// ends in a NUL (the SDK's records).
void putTerminated(char *field, std::size_t width, const char *data, std::size_t size);

// Length of the field's text: up to its first NUL or its width, whichever comes first.
std::size_t length(const char *field, std::size_t width);

// True when the text fits the field with room for a terminating NUL and holds no NUL.
bool fitsWithNul(const char *data, std::size_t size, std::size_t width);

inline std::string text(const char *field, std::size_t width)
{
    return std::string(field, length(field, width));
}

template <std::size_t N>
std::string text(const char (&field)[N])
{
    return text(field, N);
}

template <std::size_t N>
void putTerminated(char (&field)[N], const std::string &value)
{
    putTerminated(field, N, value.data(), value.size());
}

} // namespace fixedfield
