// vantrel: the framing of `vantrel serve` and its clients.
#include "transport/serve_protocol.hpp"

#include <charconv>
#include <cstdlib>

namespace vantrel::serve {

void appendFrame(std::string& out, std::initializer_list<std::string_view> words,
                 std::string_view payload) {
    for (const std::string_view w : words) {
        out.append(w);
        out.push_back(' ');
    }
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, payload.size()).ptr;
    out.append(digits, end);
    out.push_back('\n');
    out.append(payload);
}

std::optional<uint64_t> parseCount(std::string_view text) {
    uint64_t value = 0;
    if (text.empty() || text.size() > 19) return {};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return {};
    return value;
}

bool isWord(std::string_view text) {
    if (text.empty() || text.size() > 64) return false;
    for (const char c : text)
        if (c <= ' ' || c > '~') return false;
    return true;
}

FrameReader::Next FrameReader::next(Frame& frame) {
    if (!error_.empty()) return Next::Error;
    const std::string_view rest = std::string_view(buf_).substr(pos_);
    const std::size_t lf = rest.substr(0, kMaxHeader).find('\n');
    if (lf == std::string_view::npos) {
        if (rest.size() >= kMaxHeader) {
            error_ = "a header line longer than " + std::to_string(kMaxHeader) + " bytes";
            return Next::Error;
        }
        if (pos_ > 0) {
            buf_.erase(0, pos_);
            pos_ = 0;
        }
        return Next::More;
    }
    const std::string_view header = rest.substr(0, lf);
    frame.words.clear();
    std::size_t start = 0;
    while (start <= header.size()) {
        const std::size_t space = header.find(' ', start);
        const std::string_view word = header.substr(start, space - start);
        if (!isWord(word)) {
            error_ = "a header that is not words separated by single spaces";
            return Next::Error;
        }
        frame.words.emplace_back(word);
        if (space == std::string_view::npos) break;
        start = space + 1;
    }
    const auto length = parseCount(frame.words.back());
    if (frame.words.size() < 2 || !length) {
        error_ = "a header without a verb and a length";
        return Next::Error;
    }
    if (*length > maxPayload_) {
        error_ = "a payload of " + frame.words.back() + " bytes (at most " +
                 std::to_string(maxPayload_) + ")";
        return Next::Error;
    }
    if (rest.size() - lf - 1 < *length) {
        if (pos_ > 0) {
            buf_.erase(0, pos_);
            pos_ = 0;
        }
        return Next::More;
    }
    frame.words.pop_back();
    frame.payload.assign(rest.substr(lf + 1, *length));
    pos_ += lf + 1 + *length;
    if (pos_ == buf_.size()) {
        buf_.clear();
        pos_ = 0;
    }
    return Next::Frame;
}

std::string defaultServeSocket() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime == '/') return std::string(runtime) + "/vantrel/serve.sock";
    return "/run/vantrel/serve.sock";
}

}  // namespace vantrel::serve
