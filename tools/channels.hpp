// vantrel command-line tool: the channels each converter has, and what the tool says when the
// control refuses one.
#pragma once

#include <string>

namespace vantrel::cli {

// The last channel the control converts on the converter of this width: 11 on the 8-bit one
// (its half-scale reference), 13 on the 10- and 12-bit ones (their three references). The first
// is 0 on every one.
constexpr int lastChannel(int bits) {
    return bits == 8 ? 11 : 13;
}

// Why the control refuses to convert `channel` on the `bits`-bit converter ("the 8-bit
// converter has no channel 12 (channels 0 to 11); nothing was sent"), or an empty text when it
// has that channel. The control sends nothing then; the 10- and 12-bit conversions also say so
// in ErrorString ("A/D channel requested does not exist"), the 8-bit one leaves ErrorString as
// an earlier call left it, so its text must not be shown as the reason.
std::string channelRefusal(int bits, int channel);

}  // namespace vantrel::cli
