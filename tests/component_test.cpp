// The component server entry points, the class factory and the type-library descriptor.
#include <gtest/gtest.h>

#include <set>

#include "vantrel/component.h"
#include "vantrel/ctrl.hpp"

namespace {

TEST(TypeLibrary, DescribesTheClassAndItsInterfaces) {
    const vantrel_type_library_desc* lib = vantrel_type_library();
    EXPECT_STREQ(lib->name, "VantrelElectronics");
    EXPECT_EQ(lib->major, 1);
    EXPECT_EQ(lib->minor, 0);
    EXPECT_EQ(lib->lcid, 0x0409u);
    EXPECT_STREQ(lib->class_name, "VantrelCtrl");
    EXPECT_TRUE(lib->class_flags & VANTREL_TYPEFLAG_CONTROL);
    EXPECT_FALSE(lib->class_flags & VANTREL_TYPEFLAG_CANCREATE);
    EXPECT_STREQ(lib->dispatch.name, "_VantrelCtrl");
    EXPECT_TRUE(lib->dispatch.flags & VANTREL_TYPEFLAG_DUAL);
    EXPECT_TRUE(lib->dispatch.flags & VANTREL_TYPEFLAG_HIDDEN);
    EXPECT_STREQ(lib->events.name, "__VantrelCtrl");
    EXPECT_FALSE(lib->events.flags & VANTREL_TYPEFLAG_DUAL);

    // The dispatch interface lists the member table, row for row.
    const auto& table = vantrel::memberTable();
    ASSERT_EQ(lib->dispatch.member_count, table.size());
    for (size_t i = 0; i < table.size(); ++i) {
        const vantrel_member_desc& m = lib->dispatch.members[i];
        EXPECT_STREQ(m.name, table[i].name);
        EXPECT_EQ(m.id, table[i].id);
        EXPECT_EQ(m.param_count, table[i].params.size());
    }
    ASSERT_EQ(lib->events.member_count, 3u);
    EXPECT_STREQ(lib->events.members[2].name, "NewData");
    EXPECT_EQ(lib->events.members[2].id, 3);
    ASSERT_EQ(lib->events.members[2].param_count, 2u);
    EXPECT_TRUE(lib->events.members[2].params[0].by_ref);
    EXPECT_STREQ(lib->events.members[2].params[1].name, "ErrorStr");

    // Four distinct identifiers of our own.
    auto key = [](const vantrel_guid& g) {
        return std::to_string(g.data1) + "-" + std::to_string(g.data2);
    };
    std::set<std::string> ids = {key(lib->libid), key(lib->clsid), key(lib->dispatch.iid),
                                 key(lib->events.iid)};
    EXPECT_EQ(ids.size(), 4u);
    EXPECT_EQ(lib->toolbox_width, 16);
    EXPECT_EQ(lib->toolbox_height, 15);
    EXPECT_STREQ(vantrel_version(), "1.0");
    EXPECT_EQ(vantrel_self_registering(), 1);
}

TEST(EntryPoints, RegisterFactoryAndUnload) {
    const vantrel_type_library_desc* lib = vantrel_type_library();
    EXPECT_EQ(vantrel_registry_find(&lib->clsid), nullptr);
    EXPECT_EQ(DllRegisterServer(), VANTREL_S_OK);
    EXPECT_EQ(vantrel_registry_find(&lib->clsid), lib);
    EXPECT_EQ(DllUnregisterServer(), VANTREL_S_OK);
    EXPECT_EQ(vantrel_registry_find(&lib->clsid), nullptr);

    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(DllGetClassObject(&lib->libid, vantrel_iid_class_factory(), &out),
              VANTREL_CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(DllGetClassObject(&lib->clsid, &lib->dispatch.iid, &out), VANTREL_E_NOINTERFACE);
    ASSERT_EQ(DllGetClassObject(&lib->clsid, vantrel_iid_class_factory(), &out), VANTREL_S_OK);
    auto* factory = static_cast<vantrel_class_factory*>(out);

    EXPECT_EQ(DllCanUnloadNow(), VANTREL_S_OK);
    vantrel_ctrl* ctrl = nullptr;
    ASSERT_EQ(factory->create_instance(factory, &ctrl), VANTREL_S_OK);
    ASSERT_NE(ctrl, nullptr);
    EXPECT_EQ(DllCanUnloadNow(), VANTREL_S_FALSE);
    vantrel_release(ctrl);
    EXPECT_EQ(DllCanUnloadNow(), VANTREL_S_OK);

    factory->lock_server(factory, 1);
    EXPECT_EQ(DllCanUnloadNow(), VANTREL_S_FALSE);
    factory->lock_server(factory, 0);
    EXPECT_EQ(DllCanUnloadNow(), VANTREL_S_OK);
    factory->release(factory);
}

}  // namespace
