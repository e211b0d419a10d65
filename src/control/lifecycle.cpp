// VantrelCtrl: creation and first-time initialisation.
#include "vantrel/ctrl.hpp"

namespace vantrel {

void VantrelCtrl::UserControl_Initialize() {
    m_LastChannel8 = 4095;
}

void VantrelCtrl::UserControl_InitProperties() {
    m_ErrorString.clear();
    m_Port = 1;
    m_Bauds = 9600;
    m_PortIsOpen = false;
}

std::unique_ptr<VantrelCtrl> VantrelCtrl::createNew(std::shared_ptr<Site> site) {
    EventLoop& loop = threadLoop();
    if (!site) site = std::make_shared<LoopSite>(loop);
    auto ctrl =
        std::make_unique<VantrelCtrl>(makePosixSerial(loop), makeLoopTimer(loop), std::move(site));
    ctrl->UserControl_InitProperties();
    return ctrl;
}

}  // namespace vantrel
