#include "serial/reply_parser.hpp"

#include <cmath>

#include "vantrel/error.hpp"
#include "vantrel/variant.hpp"

namespace vantrel::serial {

namespace {

std::string removePairs(std::string_view in, char mark) {
    std::string out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] == mark)
            ++i;  // the mark and the character after it
        else
            out.push_back(in[i]);
    }
    return out;
}

// Characters from 1-based position `pos`, at most `count` of them; a negative count or a
// position past the end gives empty text.
std::string_view mid(std::string_view s, long pos, long count) {
    if (count <= 0 || pos < 1 || static_cast<size_t>(pos) > s.size()) return {};
    return s.substr(static_cast<size_t>(pos - 1), static_cast<size_t>(count));
}

int16_t errorCode(std::string_view c) {
    if (c == "A") return 10;
    if (c == "B") return 11;
    // One character reads as a digit 0..9 or as no number at all.
    return static_cast<int16_t>(roundHalfEven(readReplyNumber(c)));
}

}  // namespace

std::string removeLineEnds(std::string_view raw) {
    return removePairs(removePairs(raw, '\r'), '\n');
}

std::string frameCommand(std::string_view s) {
    std::string line(s);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line != "@") line.push_back('\r');
    return line;
}

ParsedReply parseReply(std::string_view raw) {
    ParsedReply r;
    const std::string cleaned = removeLineEnds(raw);
    const long len = static_cast<long>(cleaned.size());
    const size_t q = cleaned.find('?');
    const long p = q == std::string::npos ? 0 : static_cast<long>(q) + 1;

    if (p > 0 && p < 10) {
        r.kind = ParsedReply::Kind::BoardError;
        std::string_view text = mid(cleaned, p + 2, len - p - 2);
        const size_t first = text.find_first_not_of(' ');
        r.errorText =
            first == std::string_view::npos ? std::string() : std::string(text.substr(first));
        r.s = std::string(mid(cleaned, 2, 1));
        r.errorNr = errorCode(r.s);
        return r;
    }
    if (p >= 10) {
        r.kind = ParsedReply::Kind::Unrecognised;
        r.s = cleaned;
        return r;
    }
    const size_t ok = cleaned.find("OK");
    const long from = (ok == std::string::npos ? 0 : static_cast<long>(ok) + 1) + 2;
    r.kind = ParsedReply::Kind::Success;
    r.s = std::string(mid(cleaned, from, len - from + 1));
    try {
        r.value = readReplyNumber(r.s);
    } catch (const Error& e) {
        r.numberError = e.number();
    }
    return r;
}

}  // namespace vantrel::serial
