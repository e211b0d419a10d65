// VantrelCtrl::ADCZeroScale, ADCHalfScale, ADCFullScale: a converter tested on its own
// reference inputs.
#include <string>

#include "adc/nesting_flag.hpp"
#include "vantrel/ctrl.hpp"

namespace vantrel {

enum class VantrelCtrl::Scale { Zero, Half, Full };

// One reference input and the readings it may give, both ends included.
struct VantrelCtrl::SelfCheck {
    Scale scale;
    int16_t bits;
    bool (VantrelCtrl::*convert)(int16_t&);
    int16_t channel;
    int32_t low;
    int32_t high;
};

bool VantrelCtrl::ADCZeroScale(Variant& NrOfBits) {
    return scaleTest(Scale::Zero, NrOfBits);
}

bool VantrelCtrl::ADCHalfScale(Variant& NrOfBits) {
    return scaleTest(Scale::Half, NrOfBits);
}

bool VantrelCtrl::ADCFullScale(Variant& NrOfBits) {
    return scaleTest(Scale::Full, NrOfBits);
}

bool VantrelCtrl::scaleTest(Scale scale, const Variant& NrOfBits) {
    // The 10-bit full-scale window reaches ten codes beyond the top code 1023.
    static constexpr SelfCheck kChecks[] = {
        {Scale::Half, 8, &VantrelCtrl::ADC8, 11, 120, 130},
        {Scale::Zero, 10, &VantrelCtrl::ADC10, 12, 0, 5},
        {Scale::Half, 10, &VantrelCtrl::ADC10, 11, 502, 522},
        {Scale::Full, 10, &VantrelCtrl::ADC10, 13, 1012, 1033},
        {Scale::Zero, 12, &VantrelCtrl::ADC12, 12, 0, 5},
        {Scale::Half, 12, &VantrelCtrl::ADC12, 11, 2040, 2052},
        {Scale::Full, 12, &VantrelCtrl::ADC12, 13, 4090, 4095},
    };

    // Compared in this order: non-numeric text fails the first comparison with Error 13.
    const Variant width = NrOfBits;
    int16_t bits = 0;
    for (const int16_t candidate : {int16_t{8}, int16_t{10}, int16_t{12}}) {
        if (width.equalsNumber(candidate)) {
            bits = candidate;
            break;
        }
    }
    if (bits == 0) {
        m_ErrorString = "Unsupported ADC. Values allowed: 8, 10, 12";
        return false;
    }
    for (const SelfCheck& check : kChecks)
        if (check.scale == scale && check.bits == bits) return runCheck(check);

    // The 8-bit converter has only the half-scale input.
    if (!m_PortIsOpen)
        m_ErrorString = "Port is not open";
    else if (scale == Scale::Zero)
        m_ErrorString = "Zero scale not suppported by 8 bit ADC";
    else
        m_ErrorString = "Full scale not suppported by 8 bit ADC";
    raiseNewData();
    return false;
}

bool VantrelCtrl::runCheck(const SelfCheck& check) {
    adc::NestingFlag selfTest(m_InSelfTest);
    bool result = false;
    int16_t channel = check.channel;  // the conversion may overwrite its argument
    if ((this->*check.convert)(channel)) {
        if (check.low <= Value() && Value() <= check.high) {
            m_ErrorString.clear();
            result = true;
        } else {
            // The reading as it came, not the rounded one that was tested.
            m_ErrorString = "Returned value: " + m_Value.toString();
        }
    }
    const bool inResync = m_InResync;
    selfTest.clear();
    if (!inResync) raiseNewData();
    return result;
}

}  // namespace vantrel
