// VantrelCtrl: construction, events and the read-out members.
#include <algorithm>
#include <array>

#include "control/instances.hpp"
#include "serial/receive_buffer.hpp"
#include "vantrel/ctrl.hpp"

namespace vantrel {

VantrelCtrl::VantrelCtrl(std::unique_ptr<SerialComm> comm, std::unique_ptr<Timer> timer,
                         std::shared_ptr<Site> site)
    : MSComm1(std::move(comm)),
      Timer1(std::move(timer)),
      site_(std::move(site)),
      m_ReturnedStr(std::make_unique<serial::ReceiveBuffer>()) {
    if (!MSComm1 || !Timer1 || !site_)
        throw Error(err::InvalidPropertyValue,
                    "a control needs a serial component, a timer and a site");
    MSComm1->setOnComm([this] { MSComm1_OnComm(); });
    Timer1->setOnTick([this] { Timer1_Timer(); });
    site_->setOnResize([this] { UserControl_Resize(); });
    UserControl_Initialize();
    detail::controlCreated();
}

VantrelCtrl::~VantrelCtrl() {
    detail::controlDestroyed();
    // The components may outlive this call by a moment (a pass in progress): cut them loose.
    MSComm1->setOnComm(nullptr);
    Timer1->setOnTick(nullptr);
    site_->setOnResize(nullptr);  // the host may keep the site longer than the control
}

void VantrelCtrl::connect(VantrelEvents* sink) {
    if (sink && std::find(sinks_.begin(), sinks_.end(), sink) == sinks_.end())
        sinks_.push_back(sink);
}

void VantrelCtrl::disconnect(VantrelEvents* sink) {
    sinks_.erase(std::remove(sinks_.begin(), sinks_.end(), sink), sinks_.end());
}

// A handler may connect or disconnect sinks while an event is raised: iterate over a copy, and
// skip a sink that has been disconnected meanwhile. The copy of the usual few sinks stays on
// the stack, so that raising an event allocates nothing.
template <typename Fn>
static void raiseTo(const std::vector<VantrelEvents*>& sinks, Fn&& fn) {
    std::array<VantrelEvents*, 4> few{};
    std::vector<VantrelEvents*> many;
    VantrelEvents* const* first = few.data();
    const size_t count = sinks.size();
    if (count <= few.size()) {
        std::copy(sinks.begin(), sinks.end(), few.begin());
    } else {
        many = sinks;
        first = many.data();
    }
    for (size_t i = 0; i < count; ++i)
        if (std::find(sinks.begin(), sinks.end(), first[i]) != sinks.end()) fn(*first[i]);
}

void VantrelCtrl::raiseInterruptLow() {
    raiseTo(sinks_, [](VantrelEvents& s) { s.InterruptLow(); });
}

void VantrelCtrl::raiseInterruptHigh() {
    raiseTo(sinks_, [](VantrelEvents& s) { s.InterruptHigh(); });
}

void VantrelCtrl::raiseNewData() {
    raiseTo(sinks_, [this](VantrelEvents& s) { s.NewData(m_Value, m_ErrorString); });
}

std::string VantrelCtrl::ErrorString() const {
    return m_ErrorString;
}

int16_t VantrelCtrl::c_errorstring(std::string& s) const {
    s = m_ErrorString;
    return 0;
}

std::string VantrelCtrl::ReturnedStr() const {
    return bytesToText(m_ReturnedStr->view());
}

int16_t VantrelCtrl::c_returnedstr(std::string& s) const {
    s = bytesToText(m_ReturnedStr->view());
    return 0;
}

std::string VantrelCtrl::Status() const {
    return m_Status;
}

int16_t VantrelCtrl::c_status(std::string& s) const {
    s = m_Status;
    return 0;
}

int32_t VantrelCtrl::Value() const {
    return m_Value.toLong();
}

int16_t VantrelCtrl::ErrorNr() const {
    return m_ErrorNr;
}

}  // namespace vantrel
