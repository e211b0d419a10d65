// The converter catalogue: one row a width.
#include "vantrel/converters.hpp"

#include "vantrel/ctrl.hpp"

namespace vantrel {

namespace {

constexpr const char* kNoSuchChannel = "A/D channel requested does not exist";

// The 8-bit converter has only the half-scale input.
constexpr ReferenceCheck kChecks8[] = {{Scale::Half, 11, 120, 130}};
// The full-scale window reaches ten codes beyond the top code 1023.
constexpr ReferenceCheck kChecks10[] = {
    {Scale::Zero, 12, 0, 5}, {Scale::Half, 11, 502, 522}, {Scale::Full, 13, 1012, 1033}};
constexpr ReferenceCheck kChecks12[] = {
    {Scale::Zero, 12, 0, 5}, {Scale::Half, 11, 2040, 2052}, {Scale::Full, 13, 4090, 4095}};

constexpr Converter kConverters[] = {
    {.bits = 8,
     .member = "ADC8",
     .convert = &VantrelCtrl::ADC8,
     .lastChannel = 11,
     .addressLowBits = 0,
     .wordDivisor = 0,
     .writesAddressBack = false,
     .refusal = nullptr,
     .resyncResends = false,
     .checks = kChecks8},
    {.bits = 10,
     .member = "ADC10",
     .convert = &VantrelCtrl::ADC10,
     .lastChannel = 13,
     .addressLowBits = 0,
     .wordDivisor = 64,
     .writesAddressBack = true,
     .refusal = kNoSuchChannel,
     .resyncResends = true,
     .checks = kChecks10},
    {.bits = 12,
     .member = "ADC12",
     .convert = &VantrelCtrl::ADC12,
     .lastChannel = 13,
     .addressLowBits = 12,
     .wordDivisor = 16,
     .writesAddressBack = true,
     .refusal = kNoSuchChannel,
     .resyncResends = true,
     .checks = kChecks12},
};

}  // namespace

const char* scaleName(Scale scale) noexcept {
    switch (scale) {
        case Scale::Zero:
            return "zero";
        case Scale::Half:
            return "half";
        case Scale::Full:
            return "full";
    }
    return "";
}

ScaleTestMember scaleTestMember(Scale scale) noexcept {
    switch (scale) {
        case Scale::Zero:
            return &VantrelCtrl::ADCZeroScale;
        case Scale::Half:
            return &VantrelCtrl::ADCHalfScale;
        case Scale::Full:
            return &VantrelCtrl::ADCFullScale;
    }
    return nullptr;
}

const ReferenceCheck* Converter::check(Scale scale) const noexcept {
    for (const ReferenceCheck& c : checks)
        if (c.scale == scale) return &c;
    return nullptr;
}

std::span<const Converter> converters() noexcept {
    return kConverters;
}

const Converter* findConverter(int bits) noexcept {
    for (const Converter& c : kConverters)
        if (c.bits == bits) return &c;
    return nullptr;
}

std::string converterWidthsText(std::string_view lastSeparator) {
    std::string text;
    const std::size_t n = std::size(kConverters);
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) text += i + 1 == n ? lastSeparator : std::string_view(", ");
        text += std::to_string(kConverters[i].bits);
    }
    return text;
}

}  // namespace vantrel
