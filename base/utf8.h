// The one UTF-8 check (RFC 3629: no overlong forms, no surrogates, nothing past
// U+10FFFF). Plain C++: the SDK stand-in validates every datagram with it too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace utf8 {

// Incremental: bytes split across reads are judged as a whole.
class Check
{
public:
    void feed(const char *data, std::size_t size);
    // No definite error so far (a character may still be open).
    bool ok() const { return valid; }
    // Valid, and no character left open.
    bool complete() const { return valid && need == 0; }

private:
    int need = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    bool valid = true;
};

inline bool valid(const char *data, std::size_t size)
{
    Check check;
    check.feed(data, size);
    return check.complete();
}

inline bool valid(const std::string &text)
{
    return valid(text.data(), text.size());
}

} // namespace utf8
