#include "text_escape.hpp"

namespace vantrel {

namespace {

// The length of the well-formed UTF-8 sequence at the start of `s`, or 0 when it is not one
// (a stray continuation byte, a sequence cut short, an overlong form, a surrogate, beyond
// U+10FFFF).
std::size_t utf8Length(std::string_view s) {
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = at(0);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (s.size() < length || at(1) < low || at(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (at(i) < 0x80 || at(i) > 0xBF) return 0;
    return length;
}

}  // namespace

std::string escapeC(std::string_view text, bool asBytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    const auto escape = [&](unsigned char u) {
        out += "\\x";
        out += kHex[u >> 4];
        out += kHex[u & 15];
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            default:
                if (u < 0x20 || u == 0x7F || (asBytes && u > 0x7F)) {
                    escape(u);
                } else if (u > 0x7F) {
                    // Text: whole UTF-8 characters stay, except the C1 controls (U+0080 to
                    // U+009F, which terminals obey as ESC sequences); bytes that are no UTF-8
                    // are escaped one by one.
                    const std::size_t n = utf8Length(text.substr(i));
                    const bool c1 =
                        n == 2 && u == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
                    if (n == 0 || c1) {
                        escape(u);
                        if (c1) escape(static_cast<unsigned char>(text[++i]));
                    } else {
                        out.append(text.substr(i, n));
                        i += n - 1;
                    }
                } else {
                    out += c;
                }
        }
    }
    return out;
}

}  // namespace vantrel
