// vantrel: the board's converters, one row a width. The control, Board, the tools and the Python
// package take what sets one converter apart from another from here: its channels, its address
// words, the control's member that converts, and its self-test windows.
#pragma once

#include "vantrel/export.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vantrel VANTREL_API {

class VantrelCtrl;
class Variant;

// The reference inputs a converter can be tested on.
enum class Scale { Zero, Half, Full };

// "zero", "half" or "full".
const char* scaleName(Scale scale) noexcept;

// The control's self-test member for a reference input (ADCZeroScale, ADCHalfScale,
// ADCFullScale); it takes the converter's width.
using ScaleTestMember = bool (VantrelCtrl::*)(Variant& NrOfBits);
ScaleTestMember scaleTestMember(Scale scale) noexcept;

// One reference input of a converter: the channel it is wired to and the readings its check
// accepts, both ends included, after rounding half to even.
struct ReferenceCheck {
    Scale scale;
    int16_t channel;
    int32_t low;
    int32_t high;
};

// The control's conversion member for a width (ADC8, ADC10, ADC12).
using ConvertMember = bool (VantrelCtrl::*)(int16_t& Channel);

struct Converter {
    int16_t bits;
    const char* member;  // the conversion member's name in the member table
    ConvertMember convert;
    int16_t lastChannel;     // the channels are 0 to lastChannel
    int16_t addressLowBits;  // the address word is channel x 16 + these
    // 0: a reading is the number of one reply. Otherwise the last two replies are the high and
    // low byte of a word holding the reading times this divisor (fractions of 1/divisor).
    int16_t wordDivisor;
    bool writesAddressBack;  // the member's Channel argument receives the address word
    // ErrorString for a channel the converter does not have; null: ErrorString stays as the
    // call before left it, so it must not be shown as the reason.
    const char* refusal;
    // ADCReSynchronize, after a failed half-scale check, sends the set-up and a read and
    // checks again.
    bool resyncResends;
    std::span<const ReferenceCheck> checks;  // in the order zero, half, full

    bool hasChannel(int channel) const noexcept { return channel >= 0 && channel <= lastChannel; }
    // The check of a reference input; null when the converter has no such input.
    const ReferenceCheck* check(Scale scale) const noexcept;
};

// Every converter, narrowest first.
std::span<const Converter> converters() noexcept;
// The converter of a width; null when the board has none of that width.
const Converter* findConverter(int bits) noexcept;
// The widths as a list for a message: "8, 10 or 12" with lastSeparator " or ", "8, 10, 12"
// with ", ".
std::string converterWidthsText(std::string_view lastSeparator);

}  // namespace vantrel
