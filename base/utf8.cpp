#include "base/utf8.h"

namespace utf8 {

void Check::feed(const char *data, std::size_t size)
{
    for (std::size_t i = 0; i < size && valid; ++i) {
        const auto b = static_cast<unsigned char>(data[i]);
        if (need == 0) {
            if (b < 0x80) {
                // Mostly ASCII: skip eight plain bytes at a time.
                while (i + 8 < size) {
                    std::uint64_t word;
                    std::memcpy(&word, data + i + 1, 8);
                    if (word & 0x8080808080808080ULL)
                        break;
                    i += 8;
                }
                continue;
            }
            lo = 0x80;
            hi = 0xBF;
            if (b >= 0xC2 && b <= 0xDF) {
                need = 1;
            } else if (b == 0xE0) {
                need = 2;
                lo = 0xA0;
            } else if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) {
                need = 2;
            } else if (b == 0xED) {
                need = 2;
                hi = 0x9F;
            } else if (b == 0xF0) {
                need = 3;
                lo = 0x90;
            } else if (b >= 0xF1 && b <= 0xF3) {
                need = 3;
            } else if (b == 0xF4) {
                need = 3;
                hi = 0x8F;
            } else {
                valid = false;
            }
        } else {
            if (b < lo || b > hi)
                valid = false;
            --need;
            lo = 0x80;
            hi = 0xBF;
        }
    }
}

} // namespace utf8
