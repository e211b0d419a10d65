// VantrelCtrl::ADC8, ADC10, ADC12: one reading of a converter channel, made of board commands.
#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "adc/nesting_flag.hpp"
#include "vantrel/ctrl.hpp"

namespace vantrel {

namespace {

// In a command sequence, the address write: "PWS" followed by the address word.
constexpr std::string_view kAddressWrite = "PWS";

constexpr std::array<std::string_view, 1> kByteSameChannel = {"@"};
constexpr std::array<std::string_view, 2> kByteNewChannel = {kAddressWrite, "PRS"};
constexpr std::array<std::string_view, 2> kWordSameChannel = {"PRS", "@"};
// Straight after an address write the "PRS" only starts the conversion of the new channel;
// the two reads after it carry the word.
constexpr std::array<std::string_view, 4> kWordNewChannel = {kAddressWrite, "PRS", "@", "@"};

}  // namespace

// What sets the converters apart; the frame in convert() is the same for all three.
struct VantrelCtrl::AdcWidth {
    int16_t bits;
    int16_t lastChannel;
    int16_t addressLowBits;  // bits 3..0 of the address word
    const char* badChannel;  // text for a channel out of range; null: the text stays as it was
    bool writesAddressBack;  // the caller's Channel receives the address word
    std::optional<int16_t> VantrelCtrl::*addressCache;  // null: the channel is cached instead
    // 0: the reading is the last reply's number as it stands. Otherwise the last two replies
    // are the high and low byte of a word that holds the reading times this divisor.
    double divisor;
    std::span<const std::string_view> sameChannel;
    std::span<const std::string_view> newChannel;
};

bool VantrelCtrl::ADC8(int16_t& Channel) {
    static constexpr AdcWidth k8{.bits = 8,
                                 .lastChannel = 11,
                                 .addressLowBits = 0,
                                 .badChannel = nullptr,
                                 .writesAddressBack = false,
                                 .addressCache = nullptr,
                                 .divisor = 0.0,
                                 .sameChannel = kByteSameChannel,
                                 .newChannel = kByteNewChannel};
    return convert(k8, Channel);
}

bool VantrelCtrl::ADC10(int16_t& Channel) {
    static constexpr AdcWidth k10{.bits = 10,
                                  .lastChannel = 13,
                                  .addressLowBits = 0,
                                  .badChannel = "A/D channel requested does not exist",
                                  .writesAddressBack = true,
                                  .addressCache = &VantrelCtrl::m_LastAddress10,
                                  .divisor = 64.0,
                                  .sameChannel = kWordSameChannel,
                                  .newChannel = kWordNewChannel};
    return convert(k10, Channel);
}

bool VantrelCtrl::ADC12(int16_t& Channel) {
    static constexpr AdcWidth k12{.bits = 12,
                                  .lastChannel = 13,
                                  .addressLowBits = 12,
                                  .badChannel = "A/D channel requested does not exist",
                                  .writesAddressBack = true,
                                  .addressCache = &VantrelCtrl::m_LastAddress12,
                                  .divisor = 16.0,
                                  .sameChannel = kWordSameChannel,
                                  .newChannel = kWordNewChannel};
    return convert(k12, Channel);
}

bool VantrelCtrl::convert(const AdcWidth& width, int16_t& Channel) {
    adc::NestingFlag adcRead(m_InAdcRead);
    m_NrOfBits = width.bits;

    const auto run = [&]() -> bool {
        const int16_t channel = Channel;
        if (channel < 0 || channel > width.lastChannel) {
            if (width.badChannel) m_ErrorString = width.badChannel;
            return false;
        }
        if (!m_ChipReady) {
            std::string setup = "PCSA128";
            if (!Command(setup)) return false;
            m_ChipReady = true;
        }
        const auto address = static_cast<int16_t>(channel * 16 + width.addressLowBits);
        if (width.writesAddressBack) Channel = address;

        // An empty address cache stands for address 0, which is channel 0 of the 10-bit
        // converter: its first conversion skips the address write.
        std::optional<int16_t>* cache = width.addressCache ? &(this->*width.addressCache) : nullptr;
        const bool sameChannel = cache ? address == cache->value_or(0) : channel == m_LastChannel8;
        const std::span<const std::string_view> sequence =
            sameChannel ? width.sameChannel : width.newChannel;

        const bool composed = width.divisor != 0.0;
        const size_t firstUsed = sequence.size() - (composed ? 2 : 1);
        std::array<int32_t, 2> bytes{};
        for (size_t i = 0; i < sequence.size(); ++i) {
            std::string command = sequence[i] == kAddressWrite
                                      ? std::string(kAddressWrite) + std::to_string(address)
                                      : std::string(sequence[i]);
            if (!Command(command)) return false;
            if (composed && i >= firstUsed) bytes[i - firstUsed] = Value();
        }
        if (composed) {
            // Floating division keeps the low bits of the second byte as a fraction.
            m_Value = bytes[0] / width.divisor * 256 + bytes[1] / width.divisor;
            m_ErrorString.clear();
        }
        if (cache)
            *cache = address;
        else
            m_LastChannel8 = channel;
        return true;
    };

    const bool result = run();
    adcRead.clear();
    if (!m_InSelfTest) raiseNewData();
    return result;
}

}  // namespace vantrel
