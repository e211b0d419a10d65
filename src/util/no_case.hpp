// Comparisons of ASCII text that ignore case: the words of protocols and of a person's typing
// (HTTP header names, URL schemes, member names).
#pragma once

#include <algorithm>
#include <cctype>
#include <string_view>

namespace vantrel {

inline bool sameLetterNoCase(char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
}

inline bool equalsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), sameLetterNoCase);
}

inline bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && equalsNoCase(text.substr(0, prefix.size()), prefix);
}

}  // namespace vantrel
