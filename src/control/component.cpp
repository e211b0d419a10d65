// The component server: entry points, class factory, registry and the type-library descriptor.
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <vector>

#include "control/instances.hpp"
#include "vantrel/component.h"
#include "vantrel/ctrl.hpp"

namespace vantrel::detail {

namespace {
std::atomic<long> liveControls{0};
std::atomic<long> serverLocks{0};
}  // namespace

void controlCreated() noexcept {
    ++liveControls;
}
void controlDestroyed() noexcept {
    --liveControls;
}
long liveControlCount() noexcept {
    return liveControls.load();
}

}  // namespace vantrel::detail

namespace {

constexpr vantrel_guid kLibId = {
    0xfa4ebf89, 0xe068, 0x48b1, {0xb2, 0xb8, 0x8e, 0x28, 0x1c, 0x22, 0xab, 0xec}};
constexpr vantrel_guid kClsId = {
    0x16f635a6, 0xb57d, 0x42fa, {0xb2, 0x71, 0x2b, 0xa8, 0xcf, 0xca, 0x98, 0x4d}};
constexpr vantrel_guid kDispatchIid = {
    0x67473222, 0xbfd6, 0x423e, {0x93, 0xd1, 0xd3, 0x3b, 0x04, 0x60, 0xe1, 0xf5}};
constexpr vantrel_guid kEventsIid = {
    0x9316e3c9, 0xdc9d, 0x4d4e, {0x90, 0x7e, 0xd0, 0xc5, 0xfb, 0xfc, 0xcb, 0xf2}};
// The class factory's interface id, as the component model defines it.
constexpr vantrel_guid kClassFactoryIid = {
    0x00000001, 0x0000, 0x0000, {0xc0, 0, 0, 0, 0, 0, 0, 0x46}};

bool sameGuid(const vantrel_guid& a, const vantrel_guid& b) {
    return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3 &&
           std::memcmp(a.data4, b.data4, sizeof a.data4) == 0;
}

// A 16 by 15 picture of a chip with its pins, for a host's toolbox.
const char* const kToolbox[15] = {
    "                ", "  # # # # # #   ", "  # # # # # #   ", " ############## ",
    " #            # ", " # ##     ##  # ", " #            # ", " #   VANTREL  # ",
    " #            # ", " # ##     ##  # ", " #            # ", " ############## ",
    "  # # # # # #   ", "  # # # # # #   ", "                ",
};

// A parameter of any type, as the type library writes it.
constexpr uint16_t kVariantCode = 12;

uint16_t typeCode(vantrel::VarType t) {
    // The member table marks a parameter that takes any value as Empty.
    return t == vantrel::VarType::Empty ? kVariantCode : static_cast<uint16_t>(t);
}

// Descriptions built once from the member table; they live as long as the library.
struct Descriptor {
    std::vector<std::vector<vantrel_param_desc>> params;
    std::vector<vantrel_member_desc> members;
    std::vector<vantrel_param_desc> newDataParams;
    std::vector<vantrel_member_desc> events;
    vantrel_type_library_desc lib{};

    Descriptor() {
        const auto& table = vantrel::memberTable();
        params.reserve(table.size());
        for (const auto& m : table) {
            auto& ps = params.emplace_back();
            for (const auto& p : m.params)
                ps.push_back({p.name, typeCode(p.type), p.byRef ? 1 : 0});
        }
        for (size_t i = 0; i < table.size(); ++i) {
            const auto& m = table[i];
            members.push_back({m.name, static_cast<uint16_t>(m.kind), m.id, params[i].size(),
                               params[i].data(), static_cast<uint16_t>(m.result)});
        }
        newDataParams = {{"m_Value", kVariantCode, 1}, {"ErrorStr", VANTREL_VT_STRING, 1}};
        events = {
            {"InterruptLow", VANTREL_METHOD, vantrel::event_id::InterruptLow, 0, nullptr, 0},
            {"InterruptHigh", VANTREL_METHOD, vantrel::event_id::InterruptHigh, 0, nullptr, 0},
            {"NewData", VANTREL_METHOD, vantrel::event_id::NewData, newDataParams.size(),
             newDataParams.data(), 0},
        };
        lib.name = "VantrelElectronics";
        lib.major = 1;
        lib.minor = 0;
        lib.lcid = 0x0409;
        lib.libid = kLibId;
        lib.class_name = "VantrelCtrl";
        lib.clsid = kClsId;
        lib.class_flags = VANTREL_TYPEFLAG_CONTROL;  // a control, not creatable on its own
        lib.dispatch = {"_VantrelCtrl", kDispatchIid,
                        VANTREL_TYPEFLAG_HIDDEN | VANTREL_TYPEFLAG_DUAL |
                            VANTREL_TYPEFLAG_NONEXTENSIBLE | VANTREL_TYPEFLAG_OLEAUTOMATION |
                            VANTREL_TYPEFLAG_DISPATCHABLE,
                        members.size(), members.data()};
        lib.events = {"__VantrelCtrl", kEventsIid,
                      VANTREL_TYPEFLAG_HIDDEN | VANTREL_TYPEFLAG_NONEXTENSIBLE, events.size(),
                      events.data()};
        lib.toolbox_width = 16;
        lib.toolbox_height = 15;
        lib.toolbox_rows = kToolbox;
    }
};

const Descriptor& descriptor() {
    static const Descriptor d;
    return d;
}

// The component layer's registry: class id to descriptor.
std::mutex registryMutex;
std::vector<std::pair<vantrel_guid, const vantrel_type_library_desc*>> registry;

struct Factory {
    vantrel_class_factory api;
};

int32_t createInstance(vantrel_class_factory*, vantrel_ctrl** out) {
    if (!out) return VANTREL_E_POINTER;
    vantrel_error error{};
    *out = vantrel_create(&error);
    return *out ? VANTREL_S_OK : VANTREL_E_OUTOFMEMORY;
}

int32_t lockServer(vantrel_class_factory*, int lock) {
    if (lock)
        ++vantrel::detail::serverLocks;
    else if (vantrel::detail::serverLocks > 0)
        --vantrel::detail::serverLocks;
    return VANTREL_S_OK;
}

void releaseFactory(vantrel_class_factory* self) {
    delete reinterpret_cast<Factory*>(self);
}

}  // namespace

extern "C" {

const vantrel_type_library_desc* vantrel_type_library(void) {
    return &descriptor().lib;
}

const char* vantrel_version(void) {
    return "1.0";
}

int vantrel_self_registering(void) {
    return 1;
}

const vantrel_guid* vantrel_iid_class_factory(void) {
    return &kClassFactoryIid;
}

int32_t DllRegisterServer(void) {
    const vantrel_type_library_desc* lib = vantrel_type_library();
    std::lock_guard lock(registryMutex);
    for (auto& [clsid, desc] : registry)
        if (sameGuid(clsid, lib->clsid)) return VANTREL_S_OK;
    registry.emplace_back(lib->clsid, lib);
    return VANTREL_S_OK;
}

int32_t DllUnregisterServer(void) {
    std::lock_guard lock(registryMutex);
    std::erase_if(registry, [](const auto& e) { return sameGuid(e.first, kClsId); });
    return VANTREL_S_OK;
}

int32_t DllGetClassObject(const vantrel_guid* clsid, const vantrel_guid* iid, void** ppv) {
    if (!ppv) return VANTREL_E_POINTER;
    *ppv = nullptr;
    if (!clsid || !iid) return VANTREL_E_POINTER;
    if (!sameGuid(*clsid, kClsId)) return VANTREL_CLASS_E_CLASSNOTAVAILABLE;
    if (!sameGuid(*iid, kClassFactoryIid)) return VANTREL_E_NOINTERFACE;
    auto* f = new (std::nothrow) Factory{{createInstance, lockServer, releaseFactory}};
    if (!f) return VANTREL_E_OUTOFMEMORY;
    *ppv = &f->api;
    return VANTREL_S_OK;
}

int32_t DllCanUnloadNow(void) {
    return vantrel::detail::liveControlCount() == 0 && vantrel::detail::serverLocks == 0
               ? VANTREL_S_OK
               : VANTREL_S_FALSE;
}

const vantrel_type_library_desc* vantrel_registry_find(const vantrel_guid* clsid) {
    if (!clsid) return nullptr;
    std::lock_guard lock(registryMutex);
    for (auto& [id, desc] : registry)
        if (sameGuid(id, *clsid)) return desc;
    return nullptr;
}

}  // extern "C"
