// vantrel: the framing of `vantrel serve` and its clients.
#include "transport/serve_protocol.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "fd.hpp"
#include "vantrel/error.hpp"

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

bool isOneCommandLine(std::string_view bytes) {
    std::string line;
    for (const char c : bytes)
        if (c != '\n') line.push_back(c);
    if (line == "@") return true;
    return line.size() >= 2 && line.front() != '@' && line.find('\r') == line.size() - 1;
}

std::string readTokenFile(const std::string& path) {
    const auto refused = [&](const std::string& why) {
        return Error(err::PortOpenFailed, "the token file " + path + " " + why);
    };
    // Not blocking: a FIFO would otherwise hold the open until a writer comes.
    Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) throw refused(std::string("cannot be opened: ") + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        throw refused(std::string("cannot be examined: ") + std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        throw refused("is not a regular file (a FIFO, a device or a folder is never read)");
    if (st.st_uid != ::geteuid() && st.st_uid != 0)
        throw refused("belongs to uid " + std::to_string(st.st_uid) +
                      ", neither this user nor root");
    if ((st.st_mode & (S_IROTH | S_IWOTH)) != 0)
        throw refused("may be read or written by others (chmod o-rw " + path + ")");
    std::string text(kMaxTokenFile + 1, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd.get(), text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw refused(std::string("cannot be read: ") + std::strerror(errno));
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (got > kMaxTokenFile)
        throw refused("holds more than " + std::to_string(kMaxTokenFile) + " bytes");
    text.resize(got);
    text.erase(std::min(text.find('\n'), text.size()));
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ')) text.pop_back();
    if (text.empty()) throw refused("is empty");
    return text;
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
