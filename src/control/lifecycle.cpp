// VantrelCtrl: the lifecycle hooks (creation, first-time initialisation, loading, saving,
// resizing) and the two ways a host runs them.
#include "vantrel/ctrl.hpp"

namespace vantrel {

namespace {

// The control's fixed extent, in container units.
constexpr int32_t kExtent = 560;

// The defaults handed to the store. Reading and writing use the same ones, so that a value
// left out on saving reads back as what was saved.
const Variant kDefaultPort{int16_t{1}};
const Variant kDefaultBauds{int16_t{9600}};
const Variant kDefaultPortIsOpen{false};

std::unique_ptr<VantrelCtrl> createOnThreadLoop(std::shared_ptr<Site> site) {
    EventLoop& loop = threadLoop();
    if (!site) site = std::make_shared<LoopSite>(loop);
    return std::make_unique<VantrelCtrl>(makeSerialComm(loop), makeLoopTimer(loop),
                                         std::move(site));
}

}  // namespace

void VantrelCtrl::UserControl_Initialize() {
    m_LastAddress.reset();
}

void VantrelCtrl::UserControl_InitProperties() {
    m_ErrorString.clear();
    m_Port = 1;
    m_Bauds = 9600;
    m_PortIsOpen = false;
}

void VantrelCtrl::UserControl_ReadProperties(PropertyBag& PropBag) {
    // Each field is assigned as soon as its key converts, so a failure further on leaves the
    // earlier ones loaded. The values are not range-checked and not handed to MSComm1: the
    // component keeps its own configuration until Port or Bauds is assigned.
    // A value that does not convert keeps its error number, with the key in the text.
    const auto read = [&](const char* key, const Variant& def, auto convert) {
        try {
            return convert(PropBag.ReadProperty(key, def));
        } catch (const Error& e) {
            throw Error(e.number(), std::string(key) + ": " + e.what());
        }
    };
    m_Port = read("Port", kDefaultPort, [](const Variant& v) { return v.toLong(); });
    m_Bauds = read("Bauds", kDefaultBauds, [](const Variant& v) { return v.toLong(); });
    m_PortIsOpen =
        read("PortIsOpen", kDefaultPortIsOpen, [](const Variant& v) { return v.toBoolean(); });
}

void VantrelCtrl::UserControl_WriteProperties(PropertyBag& PropBag) {
    PropBag.WriteProperty("Port", Variant(m_Port), kDefaultPort);
    PropBag.WriteProperty("Bauds", Variant(m_Bauds), kDefaultBauds);
    PropBag.WriteProperty("PortIsOpen", Variant(m_PortIsOpen), kDefaultPortIsOpen);
}

void VantrelCtrl::UserControl_Resize() {
    // Each assignment that changes the size re-enters here; the nested run finds the height
    // already at 560, so at most two levels deep nothing changes any more.
    site_->Height(kExtent);
    site_->Width(kExtent);
}

std::unique_ptr<VantrelCtrl> VantrelCtrl::createNew(std::shared_ptr<Site> site) {
    auto ctrl = createOnThreadLoop(std::move(site));
    ctrl->UserControl_InitProperties();
    ctrl->UserControl_Resize();
    return ctrl;
}

std::unique_ptr<VantrelCtrl> VantrelCtrl::createFromStore(PropertyBag& PropBag,
                                                          std::shared_ptr<Site> site) {
    auto ctrl = createOnThreadLoop(std::move(site));
    ctrl->UserControl_ReadProperties(PropBag);
    ctrl->UserControl_Resize();
    return ctrl;
}

std::unique_ptr<VantrelCtrl> VantrelCtrl::createFromForm(FormFile& form, std::string_view name,
                                                         std::shared_ptr<Site> site) {
    if (!form.contains(name)) return createNew(std::move(site));
    PropertyBag& bag = form.bag(name);
    try {
        return createFromStore(bag, std::move(site));
    } catch (const Error& e) {
        if (e.number() == err::FormFile) throw;
        throw Error(e.number(),
                    "form " + form.path() + ", entry " + std::string(name) + ", " + e.what());
    }
}

}  // namespace vantrel
