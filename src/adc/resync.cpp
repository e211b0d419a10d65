// VantrelCtrl::ADCReSynchronize: the converter used last, brought back into step.
#include <string>

#include "adc/nesting_flag.hpp"
#include "control/operation_scope.hpp"
#include "control/outcome.hpp"
#include "vantrel/ctrl.hpp"

namespace vantrel {

bool VantrelCtrl::ADCReSynchronize() {
    detail::OperationScope operation(*MSComm1, operationDepth_);
    const int16_t bits = m_NrOfBits;
    adc::NestingFlag resync(m_InResync);
    Variant width(bits);
    bool result = false;

    if (const Converter* converter = findConverter(bits)) {
        result = ADCHalfScale(width);
        if (!result && converter->resyncResends) {
            // Whether a command helped is judged by the test after it, so even a passing
            // second test is followed by "PRS" and the deciding third test.
            for (const char* command : {"PCSA128", "PRS"}) {
                // Silences the command's own NewData; the next test's conversion clears it.
                adc::NestingFlag adcRead(m_InAdcRead);
                std::string s = command;
                Command(s);
                result = ADCHalfScale(width);
                adcRead.keep();
            }
        }
    } else {
        m_ErrorString = "Cannot resynchronize ADC before reading it first";
        outcome_ = detail::Outcome::NothingToResync;
    }

    resync.clear();
    raiseNewData();
    return result;
}

}  // namespace vantrel
