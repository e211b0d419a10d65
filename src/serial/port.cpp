// VantrelCtrl: port number and rate, open and close, the receive and line-event handler and
// the reply timer's tick.
#include <algorithm>
#include <array>

#include "line_rates.hpp"
#include "serial/receive_buffer.hpp"
#include "vantrel/ctrl.hpp"

namespace vantrel {

int32_t VantrelCtrl::Port() const {
    return m_Port;
}

void VantrelCtrl::Port(int32_t New_Port) {
    m_ErrorString.clear();
    if (New_Port > 0 && New_Port < 9) {
        m_Port = New_Port;
        // The assignment never fails: a failing step is skipped and the next one runs.
        try {
            site_->PropertyChanged("Port");
        } catch (...) {
        }
        try {
            MSComm1->CommPort(static_cast<int16_t>(New_Port));
        } catch (...) {
        }
    } else {
        m_ErrorString = "Port must be 1 to 8";
    }
}

int32_t VantrelCtrl::Bauds() const {
    return m_Bauds;
}

void VantrelCtrl::Bauds(int32_t New_Bauds) {
    m_ErrorString.clear();
    if (isLineRate(New_Bauds)) {
        m_Bauds = New_Bauds;
        site_->PropertyChanged("Bauds");
        MSComm1->Settings(std::to_string(New_Bauds) + ",N,8,1");
    } else {
        m_ErrorString =
            "Baud rate must be 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200";
    }
}

bool VantrelCtrl::OpenPort() {
    m_ErrorString.clear();
    if (m_PortIsOpen) {
        m_ErrorString = "A port is already open. Close and re-open";
        return false;
    }
    try {
        MSComm1->PortOpen(true);
    } catch (...) {
        m_ErrorString = "Port could not be open";
        return false;
    }
    m_PortIsOpen = true;
    return true;
}

bool VantrelCtrl::ClosePort() {
    m_ErrorString.clear();
    m_PortIsOpen = false;
    if (MSComm1->PortOpen()) {
        MSComm1->PortOpen(false);
        return true;
    }
    m_ErrorString = "Port is not open";
    return false;
}

bool VantrelCtrl::PortIsOpen() const {
    return m_PortIsOpen;
}

void VantrelCtrl::PortIsOpen(bool New_PortIsOpen) {
    // The flag follows OpenPort and ClosePort only; an assignment is refused in either mode.
    (void)New_PortIsOpen;
    if (!site_->UserMode()) throw Error(err::SetNotSupportedAtRuntime);
    throw Error(err::GetNotSupportedAtRuntime);
}

void VantrelCtrl::MSComm1_OnComm() {
    std::string status;
    switch (MSComm1->CommEvent()) {
        case comm::Send:
            break;
        case comm::Receive:
            receive();
            break;
        case comm::CTS:
            status = "Change in CTS Detected";
            break;
        case comm::DSR:
            status = "Change in DSR Detected";
            break;
        case comm::CD:
            status = "Change in CD Detected";
            break;
        case comm::Ring:
            status = "The Phone is Ringing";
            break;
        case comm::EndOfFile:
            status = "End of File Detected";
            break;
        case comm::Frame:
            m_ErrorString = "Framing Error";
            break;
        case comm::Overrun:
            m_ErrorString = "Overrun Error";
            break;
        case comm::RxOver:
            m_ErrorString = "Receive Buffer Overflow";
            break;
        case comm::RxParity:
            m_ErrorString = "Parity Error";
            break;
        case comm::TxFull:
            m_ErrorString = "Transmit Buffer Full";
            break;
        case comm::DCB:
            m_ErrorString = "Error retrieving DCB";
            break;
        // Break and the three line timeouts are not recorded.
        case comm::Break:
        case comm::CTSTimeout:
        case comm::DSRTimeout:
        case comm::CDTimeout:
            break;
        default:
            m_ErrorString = "Unknown error or event";
            break;
    }
    if (!status.empty()) m_Status = status;
}

void VantrelCtrl::receive() {
    m_ReturnedStr->append(MSComm1->Input());
    if (m_ReturnedStr->sawLow()) raiseInterruptLow();
    if (m_ReturnedStr->sawHigh()) raiseInterruptHigh();
}

void VantrelCtrl::Timer1_Timer() {
    // A shared board that has not started on this command yet: its reply window has not begun.
    if (MSComm1->holdReplyTimeout()) return;
    m_TimedOut = true;
}

}  // namespace vantrel
