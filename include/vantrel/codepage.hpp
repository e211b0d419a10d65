// vantrel: bytes on the line are Windows-1252, one character per byte.
#pragma once

#include "vantrel/export.h"

#include <string>
#include <string_view>

namespace vantrel VANTREL_API {

// Bytes to UTF-8 text.
std::string bytesToText(std::string_view bytes);
// Whether text is well-formed UTF-8 (no overlong forms, surrogates or values beyond U+10FFFF).
bool isValidUtf8(std::string_view text);
// UTF-8 text to bytes; a character with no byte becomes '?'.
std::string textToBytes(std::string_view text);

}  // namespace vantrel
