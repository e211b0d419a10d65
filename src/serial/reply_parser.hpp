// The reply parser of the command transaction: pure functions over the raw reply.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vantrel::serial {

// Removes line ends in pairs: each CR goes together with the one character after it, then each
// LF still present goes together with the one character after it. A CR or LF that is the last
// character is removed alone.
std::string removeLineEnds(std::string_view raw);

// Frames a command line: one trailing CR is dropped, then a CR is appended unless the line is
// exactly "@".
std::string frameCommand(std::string_view s);

struct ParsedReply {
    enum class Kind { Success, BoardError, Unrecognised };
    Kind kind = Kind::Success;
    std::string s;          // what the caller's text becomes
    std::string errorText;  // BoardError: the board's text
    int16_t errorNr = 0;    // BoardError: the code
    double value = 0;       // Success: the number read
    int32_t numberError = 0;  // Success: the error reading the number (6, beyond a double)
};

// Classifies the raw reply (bytes, one character each) by the position of "?" in the cleaned
// reply. A success reply whose number is beyond the range of a double gives numberError 6.
ParsedReply parseReply(std::string_view raw);

}  // namespace vantrel::serial
