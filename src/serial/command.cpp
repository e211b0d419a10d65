// VantrelCtrl::Command: one command/reply exchange with the board.
#include "control/operation_scope.hpp"
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

void VantrelCtrl::settleLine() {
    // The reply to a command that timed out may still be on its way. Its prompt, had it come
    // after the next command was written, would end that command's wait with the old reply:
    // wait until the stray reply has ended or the line has been quiet for a reply window,
    // never longer than a few windows (a line that never falls quiet), and drop what came.
    constexpr int kMostWindows = 4;
    lineUnsettled_ = false;
    Timer1->Interval(roundToLong(2'500'000.0 / m_Bauds));
    ScopeExit stop([this] { Timer1->Enabled(false); });
    for (int window = 0; window < kMostWindows; ++window) {
        const size_t before = m_ReturnedStr->size();
        m_TimedOut = false;
        Timer1->Enabled(true);
        do {
            site_->DoEvents();
        } while (!m_ReturnedStr->sawPrompt() && !m_TimedOut && MSComm1->PortOpen() &&
                 !MSComm1->HungUp());
        Timer1->Enabled(false);
        if (m_ReturnedStr->sawPrompt() || !MSComm1->PortOpen() || MSComm1->HungUp()) return;
        if (m_ReturnedStr->size() == before) return;  // a whole window without a byte
    }
}

bool VantrelCtrl::Command(std::string& s) {
    // A second exchange started from an event handler while this one waits would take over
    // the buffer, the timer and the result of the first: refuse it before touching anything.
    if (commandWaiting_) throw Error(err::CommandInProgress);
    detail::OperationScope operation(*MSComm1, operationDepth_);
    commandWaiting_ = true;
    ScopeExit release([this] { commandWaiting_ = false; });

    // Bytes of an earlier, late reply that already reached us go through the receive handler
    // now, so that the emptying below drops them instead of the new wait ending on them.
    MSComm1->deliverPending();

    // The prompt of a reply that came after its command timed out has ended that reply.
    if (m_ReturnedStr->sawPrompt()) lineUnsettled_ = false;
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
        if (lineUnsettled_) {
            settleLine();
            m_ReturnedStr->clear();
            m_TimedOut = false;
        }
        s = serial::frameCommand(s);
        // A host's own address write moves the board's one address register: the next
        // conversion writes its address again.
        if (!m_InAdcRead && s.starts_with("PWS")) m_LastAddress.reset();
        MSComm1->Output(textToBytes(s));
        Timer1->Enabled(true);
        {
            ScopeExit stop([this] { Timer1->Enabled(false); });
            do {
                site_->DoEvents();
            } while (!m_ReturnedStr->sawPrompt() && !m_TimedOut);
        }
        if (m_TimedOut) {
            lineUnsettled_ = true;
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
