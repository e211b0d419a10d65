// The line rates the board and the control take, lowest first.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

namespace vantrel {

inline constexpr std::array<int32_t, 10> kLineRates = {300,  600,   1200,  2400,  4800,
                                                       9600, 19200, 38400, 57600, 115200};

inline constexpr const char* kLineRatesText =
    "the rate must be one of 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200";

inline bool isLineRate(int64_t rate) noexcept {
    return std::find(kLineRates.begin(), kLineRates.end(), rate) != kLineRates.end();
}

}  // namespace vantrel
