// VantrelCtrl::Command: one command/reply exchange with the board.
#include "control/outcome.hpp"
#include "serial/receive_buffer.hpp"
#include "serial/reply_parser.hpp"
#include "vantrel/ctrl.hpp"

namespace vantrel {

namespace {

// Runs a cleanup on scope exit, also when an error passes through.
template <typename Fn>
class ScopeExit {
  public:
    explicit ScopeExit(Fn fn) : fn_(std::move(fn)) {}
    ~ScopeExit() { fn_(); }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

  private:
    Fn fn_;
};

}  // namespace

bool VantrelCtrl::Command(std::string& s) {
    // A second exchange started from an event handler while this one waits would take over
    // the buffer, the timer and the result of the first: refuse it before touching anything.
    if (commandWaiting_) throw Error(err::CommandInProgress);
    commandWaiting_ = true;
    ScopeExit release([this] { commandWaiting_ = false; });

    // Bytes of an earlier, late reply that already reached us go through the receive handler
    // now, so that the emptying below drops them instead of the new wait ending on them.
    MSComm1->deliverPending();

    m_ErrorString.clear();
    m_ErrorNr = 0;
    outcome_ = detail::Outcome::Done;
    m_ReturnedStr->clear();
    if (m_Bauds == 0) throw Error(err::DivisionByZero);
    Timer1->Interval(roundToLong(2'500'000.0 / m_Bauds));
    m_TimedOut = false;

    bool result = false;
    if (!MSComm1->PortOpen()) {
        m_ErrorString = "Port is not operational";
        outcome_ = detail::Outcome::NotOperational;
    } else {
        s = serial::frameCommand(s);
        MSComm1->Output(textToBytes(s));
        Timer1->Enabled(true);
        {
            ScopeExit stop([this] { Timer1->Enabled(false); });
            do {
                site_->DoEvents();
            } while (!m_ReturnedStr->sawPrompt() && !m_TimedOut);
        }
        if (m_TimedOut) {
            m_ErrorString = "Serial port timed out";
            outcome_ = detail::Outcome::TimedOut;
        } else {
            const serial::ParsedReply reply = serial::parseReply(m_ReturnedStr->view());
            switch (reply.kind) {
                case serial::ParsedReply::Kind::BoardError:
                    m_ErrorString = bytesToText(reply.errorText);
                    s = bytesToText(reply.s);
                    m_ErrorNr = reply.errorNr;
                    outcome_ = detail::Outcome::BoardRefused;
                    commandWaiting_ = false;
                    // Past this point a failure is ignored, the event's included.
                    if (!m_InAdcRead) {
                        try {
                            raiseNewData();
                        } catch (...) {
                        }
                    }
                    return false;
                case serial::ParsedReply::Kind::Unrecognised:
                    m_ErrorString =
                        "Response to this command is not supported by Function Command()";
                    outcome_ = detail::Outcome::NotUnderstood;
                    s = bytesToText(reply.s);
                    break;
                case serial::ParsedReply::Kind::Success:
                    s = bytesToText(reply.s);
                    if (reply.numberError != 0) throw Error(reply.numberError);
                    m_Value = reply.value;
                    result = true;
                    break;
            }
        }
    }
    // The exchange is over: a NewData handler may start the next one.
    commandWaiting_ = false;
    if (!m_InAdcRead) raiseNewData();
    return result;
}

}  // namespace vantrel
