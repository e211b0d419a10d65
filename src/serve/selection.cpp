// vantrel serve: what a client's commands have left the board's converters in.
#include "serve/selection.hpp"

#include "transport/link.hpp"

namespace vantrel::serve {

void Selection::follow(std::string_view line) {
    std::string text;
    for (const char c : line)
        if (c != '\r' && c != '\n') text.push_back(c);
    if (text.rfind("PWS", 0) == 0) {
        const auto n = parseUnsigned(std::string_view(text).substr(3));
        if (!n || *n > 255 || text.size() > 6) return;
        *this = Selection{static_cast<int>(*n), true, 0, true};
    } else if (text == "PRS") {
        next = dummy ? 0 : 1;
        dummy = false;
    } else if (text == "@") {
        next ^= 1;
    } else if (text == "PCSA128") {
        dummy = false;
        next = 0;
    }
}

std::vector<std::string> Selection::restore() const {
    std::vector<std::string> lines{"PWS" + std::to_string(address) + "\r"};
    if (!dummy) lines.emplace_back("PRS\r");
    if (next == 1) lines.emplace_back("@");
    return lines;
}

bool writesAddress(std::string_view line) {
    while (!line.empty() && line.front() == '\n') line.remove_prefix(1);
    return line.rfind("PWS", 0) == 0;
}

bool carriedOut(std::string_view reply) {
    return reply.find('?') == std::string_view::npos && reply.find("OK") != std::string_view::npos;
}

}  // namespace vantrel::serve
