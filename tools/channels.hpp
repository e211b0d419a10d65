// vantrel command-line tool: what the tool says when the control refuses a channel.
#pragma once

#include <string>
#include <string_view>

#include "vantrel/converters.hpp"

namespace vantrel::cli {

// Why the control refuses to convert `channel` on `converter` ("the 8-bit converter has no
// channel 12 (channels 0 to 11); nothing was sent"), or an empty text when it has that channel.
// The control sends nothing then. Where the converter has no refusal text of its own
// (Converter::refusal), ErrorString is as an earlier call left it and must not be shown as the
// reason: this text stands in for it.
std::string channelRefusal(const Converter& converter, int channel);

// The converter whose conversion member has this name ("ADC8"); null for any other member.
const Converter* converterByMember(std::string_view name);

}  // namespace vantrel::cli
