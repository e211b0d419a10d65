// VantrelCtrl::ADCZeroScale, ADCHalfScale, ADCFullScale: a converter tested on its own
// reference inputs.
#include <string>

#include "adc/nesting_flag.hpp"
#include "control/operation_scope.hpp"
#include "control/outcome.hpp"
#include "vantrel/ctrl.hpp"

namespace vantrel {

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
    detail::OperationScope operation(*MSComm1, operationDepth_);
    // Compared in the catalogue's order: non-numeric text fails the first comparison with
    // Error 13.
    const Variant width = NrOfBits;
    const Converter* converter = nullptr;
    for (const Converter& candidate : converters()) {
        if (width.equalsNumber(candidate.bits)) {
            converter = &candidate;
            break;
        }
    }
    if (!converter) {
        m_ErrorString = "Unsupported ADC. Values allowed: " + converterWidthsText(", ");
        outcome_ = detail::Outcome::NoSuchWidth;
        return false;
    }
    if (const ReferenceCheck* check = converter->check(scale)) return runCheck(*converter, *check);

    // A reference input the converter does not have (the 8-bit one has only half scale).
    if (!m_PortIsOpen) {
        m_ErrorString = "Port is not open";
        outcome_ = detail::Outcome::PortNotOpen;
    } else {
        const char* name = scale == Scale::Zero ? "Zero" : scale == Scale::Half ? "Half" : "Full";
        m_ErrorString = std::string(name) + " scale not suppported by " +
                        std::to_string(converter->bits) + " bit ADC";
        outcome_ = detail::Outcome::NoSuchCheck;
    }
    raiseNewData();
    return false;
}

bool VantrelCtrl::runCheck(const Converter& converter, const ReferenceCheck& check) {
    adc::NestingFlag selfTest(m_InSelfTest);
    bool result = false;
    int16_t channel = check.channel;  // the conversion may overwrite its argument
    if ((this->*converter.convert)(channel)) {
        if (check.low <= Value() && Value() <= check.high) {
            m_ErrorString.clear();
            result = true;
        } else {
            // The reading as it came, not the rounded one that was tested.
            m_ErrorString = "Returned value: " + m_Value.toString();
            outcome_ = detail::Outcome::OutsideWindow;
        }
    }
    const bool inResync = m_InResync;
    selfTest.clear();
    if (!inResync) raiseNewData();
    return result;
}

}  // namespace vantrel
