#include <array>
#include <cstring>

#include "vantrel/platform.hpp"

namespace vantrel {

namespace {

// Windows-1252 bytes 0x80..0x9F. The five bytes the code page leaves undefined map to the C1
// control of the same number, so that every byte survives the round trip.
constexpr std::array<char32_t, 32> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80..87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88..8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90..97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98..9F
};

struct Utf8Char {
    char bytes[3];
    uint8_t length;
};

// UTF-8 of every byte from 0x80 up; never more than three bytes.
constexpr std::array<Utf8Char, 128> kToUtf8 = [] {
    std::array<Utf8Char, 128> t{};
    for (unsigned b = 0x80; b <= 0xFF; ++b) {
        const char32_t cp = b < 0xA0 ? kHigh[b - 0x80] : static_cast<char32_t>(b);
        Utf8Char& u = t[b - 0x80];
        if (cp < 0x800) {
            u.bytes[0] = static_cast<char>(0xC0 | (cp >> 6));
            u.bytes[1] = static_cast<char>(0x80 | (cp & 0x3F));
            u.length = 2;
        } else {
            u.bytes[0] = static_cast<char>(0xE0 | (cp >> 12));
            u.bytes[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            u.bytes[2] = static_cast<char>(0x80 | (cp & 0x3F));
            u.length = 3;
        }
    }
    return t;
}();

// The byte for a character, or '?' when the code page has none.
char byteFor(char32_t cp) {
    if (cp < 0x80) return static_cast<char>(cp);
    if (cp >= 0xA0 && cp <= 0xFF) return static_cast<char>(cp);
    switch (cp) {
        case 0x81:
        case 0x8D:
        case 0x8F:
        case 0x90:
        case 0x9D:
            return static_cast<char>(cp);
        default:
            break;
    }
    for (unsigned i = 0; i < kHigh.size(); ++i) {
        if (kHigh[i] == cp) return static_cast<char>(0x80 + i);
    }
    return '?';
}

// Length of the leading run of ASCII bytes, eight at a time.
size_t asciiPrefix(const char* p, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        if ((w & 0x8080808080808080ull) != 0) break;
    }
    while (i < n && static_cast<unsigned char>(p[i]) < 0x80) ++i;
    return i;
}

bool isContinuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

// Decodes one well-formed UTF-8 character starting at p[0] (a non-ASCII lead byte). Returns
// its length, or 0 when the bytes there are not well-formed UTF-8.
size_t decodeUtf8(const unsigned char* p, size_t avail, char32_t& cp) {
    const unsigned char b0 = p[0];
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        if (avail < 2 || !isContinuation(p[1])) return 0;
        cp = (static_cast<char32_t>(b0 & 0x1F) << 6) | (p[1] & 0x3F);
        return 2;
    }
    if (b0 >= 0xE0 && b0 <= 0xEF) {
        if (avail < 3 || !isContinuation(p[1]) || !isContinuation(p[2])) return 0;
        if (b0 == 0xE0 && p[1] < 0xA0) return 0;  // overlong
        if (b0 == 0xED && p[1] > 0x9F) return 0;  // surrogate
        cp = (static_cast<char32_t>(b0 & 0x0F) << 12) | (static_cast<char32_t>(p[1] & 0x3F) << 6) |
             (p[2] & 0x3F);
        return 3;
    }
    if (b0 >= 0xF0 && b0 <= 0xF4) {
        if (avail < 4 || !isContinuation(p[1]) || !isContinuation(p[2]) || !isContinuation(p[3])) {
            return 0;
        }
        if (b0 == 0xF0 && p[1] < 0x90) return 0;  // overlong
        if (b0 == 0xF4 && p[1] > 0x8F) return 0;  // beyond U+10FFFF
        cp = (static_cast<char32_t>(b0 & 0x07) << 18) | (static_cast<char32_t>(p[1] & 0x3F) << 12) |
             (static_cast<char32_t>(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
        return 4;
    }
    return 0;
}

}  // namespace

std::string bytesToText(std::string_view bytes) {
    const size_t head = asciiPrefix(bytes.data(), bytes.size());
    if (head == bytes.size()) return std::string(bytes);

    size_t length = head;
    for (size_t i = head; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        length += b < 0x80 ? 1 : kToUtf8[b - 0x80].length;
    }
    std::string out(length, '\0');
    char* o = out.data();
    std::memcpy(o, bytes.data(), head);
    o += head;
    for (size_t i = head; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b < 0x80) {
            *o++ = static_cast<char>(b);
        } else {
            const Utf8Char& u = kToUtf8[b - 0x80];
            std::memcpy(o, u.bytes, u.length);
            o += u.length;
        }
    }
    return out;
}

std::string textToBytes(std::string_view text) {
    const size_t head = asciiPrefix(text.data(), text.size());
    if (head == text.size()) return std::string(text);

    // Never longer than the text: each character gives at most one byte.
    std::string out(text.size(), '\0');
    char* o = out.data();
    std::memcpy(o, text.data(), head);
    o += head;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    size_t i = head;
    while (i < text.size()) {
        if (p[i] < 0x80) {
            const size_t run = asciiPrefix(text.data() + i, text.size() - i);
            std::memcpy(o, text.data() + i, run);
            o += run;
            i += run;
            continue;
        }
        char32_t cp = 0;
        const size_t n = decodeUtf8(p + i, text.size() - i, cp);
        if (n == 0) {
            *o++ = '?';  // a byte that is not part of well-formed UTF-8
            ++i;
        } else {
            *o++ = byteFor(cp);
            i += n;
        }
    }
    out.resize(static_cast<size_t>(o - out.data()));
    return out;
}

bool isValidUtf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    size_t i = 0;
    while (i < text.size()) {
        i += asciiPrefix(text.data() + i, text.size() - i);
        if (i == text.size()) break;
        char32_t cp = 0;
        const size_t n = decodeUtf8(p + i, text.size() - i, cp);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

}  // namespace vantrel
