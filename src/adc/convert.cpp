// VantrelCtrl::ADC8, ADC10, ADC12: one reading of a converter channel, made of board commands.
#include <array>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "adc/nesting_flag.hpp"
#include "control/operation_scope.hpp"
#include "control/outcome.hpp"
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

std::span<const std::string_view> sequenceOf(bool word, bool sameChannel) {
    if (word) {
        if (sameChannel) return kWordSameChannel;
        return kWordNewChannel;
    }
    if (sameChannel) return kByteSameChannel;
    return kByteNewChannel;
}

// The catalogue row of a width the control has a member for.
const Converter& converterOf(int bits) {
    const Converter* converter = findConverter(bits);
    if (!converter) throw std::logic_error("no " + std::to_string(bits) + "-bit converter");
    return *converter;
}

}  // namespace

bool VantrelCtrl::ADC8(int16_t& Channel) {
    static const Converter& k8 = converterOf(8);
    return convert(k8, Channel);
}

bool VantrelCtrl::ADC10(int16_t& Channel) {
    static const Converter& k10 = converterOf(10);
    return convert(k10, Channel);
}

bool VantrelCtrl::ADC12(int16_t& Channel) {
    static const Converter& k12 = converterOf(12);
    return convert(k12, Channel);
}

bool VantrelCtrl::convert(const Converter& converter, int16_t& Channel) {
    detail::OperationScope operation(*MSComm1, operationDepth_);
    adc::NestingFlag adcRead(m_InAdcRead);
    m_NrOfBits = converter.bits;

    const auto run = [&]() -> bool {
        const int16_t channel = Channel;
        if (!converter.hasChannel(channel)) {
            if (converter.refusal) m_ErrorString = converter.refusal;
            outcome_ = detail::Outcome::NoSuchChannel;
            return false;
        }
        if (!m_ChipReady) {
            std::string setup = "PCSA128";
            if (!Command(setup)) return false;
            m_ChipReady = true;
        }
        const auto address = static_cast<int16_t>(channel * 16 + converter.addressLowBits);
        if (converter.writesAddressBack) Channel = address;

        // The board has one address register, whichever width wrote it last. A control that
        // has written none does not know what it holds (the board may have served another
        // program or an earlier run), so its first conversion writes its address too.
        const bool composed = converter.wordDivisor != 0;
        const bool sameChannel = m_LastAddress == address;
        const std::span<const std::string_view> sequence = sequenceOf(composed, sameChannel);

        const size_t firstUsed = sequence.size() - (composed ? 2 : 1);
        std::array<int32_t, 2> bytes{};
        for (size_t i = 0; i < sequence.size(); ++i) {
            std::string command = sequence[i] == kAddressWrite
                                      ? std::string(kAddressWrite) + std::to_string(address)
                                      : std::string(sequence[i]);
            if (!Command(command)) {
                // The address write may have reached the board although a later command
                // failed: the register is no longer known.
                if (!sameChannel) m_LastAddress.reset();
                return false;
            }
            if (composed && i >= firstUsed) bytes[i - firstUsed] = Value();
        }
        if (composed) {
            // Floating division keeps the low bits of the second byte as a fraction.
            const double divisor = converter.wordDivisor;
            m_Value = bytes[0] / divisor * 256 + bytes[1] / divisor;
            m_ErrorString.clear();
        }
        m_LastAddress = address;
        return true;
    };

    const bool result = run();
    adcRead.clear();
    if (!m_InSelfTest) raiseNewData();
    return result;
}

}  // namespace vantrel
