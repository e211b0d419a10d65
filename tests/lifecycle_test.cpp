// The lifecycle hooks: creation, first-time initialisation, loading and saving of the three
// stored properties, resizing, change notifications and the PortIsOpen assignment.
#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <tuple>

#include "fakes.hpp"

using namespace vantrel;
using vantrel::testing::CtrlProbe;
using vantrel::testing::FakeRig;
using vantrel::testing::FakeSerial;
using vantrel::testing::FakeSite;
using vantrel::testing::FakeTimer;

namespace {

// A control just created on fakes, before first-time initialisation or loading: the state a
// loading hook starts from (port 0, rate 0, flag false).
template <class SiteT = FakeSite>
struct BareRig {
    BareRig() : site(std::make_shared<SiteT>()) {
        auto s = std::make_unique<FakeSerial>();
        serial = s.get();
        serial->site = site.get();
        ctrl = std::make_unique<VantrelCtrl>(std::move(s), std::make_unique<FakeTimer>(), site);
    }
    std::shared_ptr<SiteT> site;
    FakeSerial* serial;
    std::unique_ptr<VantrelCtrl> ctrl;
};

MemoryPropertyBag bagOf(std::initializer_list<std::pair<const char*, Variant>> values) {
    MemoryPropertyBag bag;
    for (auto& [key, value] : values) bag.set(key, value);
    return bag;
}

// Records what the hooks ask of the store, and fails at a chosen key.
class RecordingBag : public PropertyBag {
  public:
    Variant ReadProperty(std::string_view key, const Variant& def) override {
        reads.emplace_back(std::string(key), def);
        if (key == failAt) throw Error(err::FormFile, "store failed");
        return def;
    }
    void WriteProperty(std::string_view key, const Variant& value, const Variant& def) override {
        if (key == failAt) throw Error(err::FormFile, "store failed");
        writes.emplace_back(std::string(key), value, def);
    }
    std::string failAt;
    std::vector<std::pair<std::string, Variant>> reads;
    std::vector<std::tuple<std::string, Variant, Variant>> writes;
};

TEST(Lifecycle, NewControlIsInitialisedAndSized) {
    auto site = std::make_shared<FakeSite>();
    auto ctrl = VantrelCtrl::createNew(site);
    EXPECT_EQ(ctrl->Port(), 1);
    EXPECT_EQ(ctrl->Bauds(), 9600);
    EXPECT_FALSE(ctrl->PortIsOpen());
    EXPECT_EQ(ctrl->ErrorString(), "");
    EXPECT_EQ(ctrl->ReturnedStr(), "");
    EXPECT_EQ(ctrl->Status(), "");
    EXPECT_EQ(ctrl->Value(), 0);
    EXPECT_EQ(ctrl->ErrorNr(), 0);
    EXPECT_EQ(CtrlProbe::lastAddress(*ctrl), std::nullopt);
    EXPECT_EQ(site->Height(), 560);
    EXPECT_EQ(site->Width(), 560);
    EXPECT_FALSE(ctrl->comm().PortOpen());
    EXPECT_TRUE(site->changed.empty());
}

TEST(Lifecycle, InitPropertiesResetsTheFourFields) {
    BareRig rig;
    CtrlProbe::errorString(*rig.ctrl) = "left over";
    CtrlProbe::portIsOpen(*rig.ctrl) = true;
    rig.ctrl->UserControl_InitProperties();
    EXPECT_EQ(rig.ctrl->ErrorString(), "");
    EXPECT_EQ(rig.ctrl->Port(), 1);
    EXPECT_EQ(rig.ctrl->Bauds(), 9600);
    EXPECT_FALSE(rig.ctrl->PortIsOpen());
    EXPECT_TRUE(rig.site->changed.empty());
}

TEST(Persistence, KeysInOrderWithTypedValuesAndDefaults) {
    FakeRig rig;
    rig.ctrl->Port(3);
    rig.ctrl->Bauds(19200);
    RecordingBag bag;
    rig.ctrl->UserControl_WriteProperties(bag);
    using W = std::tuple<std::string, Variant, Variant>;
    EXPECT_EQ(bag.writes,
              (std::vector<W>{{"Port", Variant(int32_t{3}), Variant(int16_t{1})},
                              {"Bauds", Variant(int32_t{19200}), Variant(int16_t{9600})},
                              {"PortIsOpen", Variant(false), Variant(false)}}));

    BareRig fresh;
    fresh.ctrl->UserControl_ReadProperties(bag);
    using R = std::pair<std::string, Variant>;
    EXPECT_EQ(bag.reads, (std::vector<R>{{"Port", Variant(int16_t{1})},
                                         {"Bauds", Variant(int16_t{9600})},
                                         {"PortIsOpen", Variant(false)}}));
}

TEST(Persistence, DefaultsStoreNothingAndReadBackAsDefaults) {
    FakeRig rig;
    // A key stored by an earlier save goes when its value is back at the default.
    auto bag = bagOf({{"Port", Variant(int32_t{4})}, {"Other", Variant("kept")}});
    rig.ctrl->UserControl_WriteProperties(bag);
    ASSERT_EQ(bag.values().size(), 1u);
    EXPECT_EQ(bag.values().count("Other"), 1u);

    BareRig fresh;
    fresh.ctrl->UserControl_ReadProperties(bag);
    EXPECT_EQ(fresh.ctrl->Port(), 1);
    EXPECT_EQ(fresh.ctrl->Bauds(), 9600);
    EXPECT_FALSE(fresh.ctrl->PortIsOpen());
}

TEST(Persistence, ChangedValuesRoundTrip) {
    FakeRig rig;
    rig.ctrl->Port(8);
    rig.ctrl->Bauds(115200);
    ASSERT_TRUE(rig.ctrl->OpenPort());
    MemoryPropertyBag bag;
    rig.ctrl->UserControl_WriteProperties(bag);
    EXPECT_EQ(bag.values(),
              (std::map<std::string, Variant, std::less<>>{{"Bauds", Variant(int32_t{115200})},
                                                           {"Port", Variant(int32_t{8})},
                                                           {"PortIsOpen", Variant(true)}}));

    auto site = std::make_shared<FakeSite>();
    auto loaded = VantrelCtrl::createFromStore(bag, site);
    EXPECT_EQ(loaded->Port(), 8);
    EXPECT_EQ(loaded->Bauds(), 115200);
    EXPECT_TRUE(loaded->PortIsOpen());
    EXPECT_EQ(CtrlProbe::lastAddress(*loaded), std::nullopt);
    EXPECT_EQ(site->Height(), 560);
    EXPECT_EQ(site->Width(), 560);
}

TEST(Loading, NoRangeCheckNoComponentNoOpen) {
    const std::tuple<int32_t, int32_t, bool> cases[] = {
        {12, 110, true}, {3, 19200, false}, {0, -5, true}, {INT32_MIN, INT32_MAX, false}};
    for (auto [port, bauds, flag] : cases) {
        BareRig rig;
        CtrlProbe::errorString(*rig.ctrl) = "";
        auto bag = bagOf(
            {{"Port", Variant(port)}, {"Bauds", Variant(bauds)}, {"PortIsOpen", Variant(flag)}});
        EXPECT_NO_THROW(rig.ctrl->UserControl_ReadProperties(bag)) << port;
        EXPECT_EQ(rig.ctrl->Port(), port);
        EXPECT_EQ(rig.ctrl->Bauds(), bauds);
        EXPECT_EQ(rig.ctrl->PortIsOpen(), flag);
        EXPECT_EQ(rig.ctrl->ErrorString(), "") << port;
        // The component keeps its own port and line settings, and stays closed.
        EXPECT_EQ(rig.serial->port, 1);
        EXPECT_EQ(rig.serial->settings, "9600,N,8,1");
        EXPECT_FALSE(rig.serial->open);
        EXPECT_TRUE(rig.site->changed.empty());
    }
}

TEST(Loading, StoredOpenFlagNeedsTheRecoveryPair) {
    BareRig rig;
    auto bag = bagOf({{"PortIsOpen", Variant(true)}});
    rig.ctrl->UserControl_ReadProperties(bag);
    EXPECT_TRUE(rig.ctrl->PortIsOpen());
    EXPECT_FALSE(rig.serial->open);

    EXPECT_FALSE(rig.ctrl->OpenPort());
    EXPECT_EQ(rig.ctrl->ErrorString(), "A port is already open. Close and re-open");
    EXPECT_FALSE(rig.serial->open);
    EXPECT_FALSE(rig.ctrl->ClosePort());
    EXPECT_EQ(rig.ctrl->ErrorString(), "Port is not open");
    EXPECT_FALSE(rig.ctrl->PortIsOpen());
    EXPECT_TRUE(rig.ctrl->OpenPort());
    EXPECT_EQ(rig.ctrl->ErrorString(), "");
    EXPECT_TRUE(rig.serial->open);
}

TEST(Loading, StandardConversions) {
    struct Case {
        const char* key;
        Variant stored;
        int32_t number;  // Port or Bauds
        bool flag;       // PortIsOpen
    };
    const Case cases[] = {
        {"Port", Variant(2.5), 2, false},
        {"Port", Variant(3.5), 4, false},
        {"Port", Variant(-2.5), -2, false},
        {"Port", Variant(int16_t{5}), 5, false},
        {"Port", Variant("7"), 7, false},
        {"Port", Variant(true), -1, false},
        {"Bauds", Variant(Currency{192005000}), 19200, false},
        {"Bauds", Variant(2147483647.4), 2147483647, false},
        {"PortIsOpen", Variant(int32_t{5}), 0, true},
        {"PortIsOpen", Variant(0.25), 0, true},
        {"PortIsOpen", Variant(0.0), 0, false},
        {"PortIsOpen", Variant("True"), 0, true},
        {"PortIsOpen", Variant(int16_t{0}), 0, false},
    };
    for (const auto& c : cases) {
        BareRig rig;
        MemoryPropertyBag bag;
        bag.set(c.key, c.stored);
        rig.ctrl->UserControl_ReadProperties(bag);
        // The keys not stored read their defaults.
        const std::string key = c.key;
        const auto expected =
            std::make_tuple(key == "Port" ? c.number : 1, key == "Bauds" ? c.number : 9600, c.flag);
        EXPECT_EQ(std::make_tuple(rig.ctrl->Port(), rig.ctrl->Bauds(), rig.ctrl->PortIsOpen()),
                  expected)
            << key << " = " << c.stored.toString();
    }
}

TEST(Loading, ConversionFailureKeepsTheFieldsBeforeIt) {
    struct Case {
        MemoryPropertyBag bag;
        int32_t error;
        int32_t port, bauds;  // creation values are 0 and 0
        bool flag;
    };
    const Case cases[] = {
        {bagOf({{"Port", Variant("COM3")}, {"Bauds", Variant(int32_t{19200})}}), 13, 0, 0, false},
        {bagOf({{"Port", Variant(2147483647.5)}}), 6, 0, 0, false},
        {bagOf({{"Port", Variant::null()}}), 94, 0, 0, false},
        {bagOf({{"Port", Variant(int32_t{3})}, {"Bauds", Variant(3e9)}}), 6, 3, 0, false},
        {bagOf({{"Port", Variant(int32_t{3})},
                {"Bauds", Variant(int32_t{19200})},
                {"PortIsOpen", Variant("maybe")}}),
         13, 3, 19200, false},
    };
    for (auto c : cases) {
        BareRig rig;
        CtrlProbe::errorString(*rig.ctrl) = "";
        EXPECT_EQ(
            vantrel::testing::errorNumberOf([&] { rig.ctrl->UserControl_ReadProperties(c.bag); }),
            c.error);
        EXPECT_EQ(rig.ctrl->Port(), c.port);
        EXPECT_EQ(rig.ctrl->Bauds(), c.bauds);
        EXPECT_EQ(rig.ctrl->PortIsOpen(), c.flag);
        EXPECT_EQ(rig.ctrl->ErrorString(), "");
    }
    auto bad = bagOf({{"Bauds", Variant("fast")}});
    EXPECT_EQ(vantrel::testing::errorNumberOf(
                  [&] { VantrelCtrl::createFromStore(bad, std::make_shared<FakeSite>()); }),
              err::TypeMismatch);
}

TEST(Persistence, StoreFailureEndsTheHookAtThatKey) {
    BareRig rig;
    RecordingBag bag;
    bag.failAt = "Bauds";
    EXPECT_EQ(vantrel::testing::errorNumberOf([&] { rig.ctrl->UserControl_ReadProperties(bag); }),
              err::FormFile);
    ASSERT_EQ(bag.reads.size(), 2u);  // "PortIsOpen" is never asked for
    EXPECT_EQ(rig.ctrl->Port(), 1);
    EXPECT_EQ(rig.ctrl->Bauds(), 0);

    FakeRig saved;
    EXPECT_EQ(
        vantrel::testing::errorNumberOf([&] { saved.ctrl->UserControl_WriteProperties(bag); }),
        err::FormFile);
    ASSERT_EQ(bag.writes.size(), 1u);
    EXPECT_EQ(std::get<0>(bag.writes[0]), "Port");
}

// Records each change notification with what the control and its component hold at that moment.
class ProbingSite : public FakeSite {
  public:
    void PropertyChanged(std::string_view name) override {
        FakeSite::PropertyChanged(name);
        seen.push_back(std::string(name) + " field " +
                       std::to_string(name == "Port" ? ctrl->Port() : ctrl->Bauds()) +
                       " component " +
                       (name == "Port" ? std::to_string(serial->port) : serial->settings));
    }
    VantrelCtrl* ctrl = nullptr;
    FakeSerial* serial = nullptr;
    std::vector<std::string> seen;
};

TEST(ChangeNotification, AcceptedAssignmentsReportBeforeTheComponentRefusedOnesNot) {
    BareRig<ProbingSite> rig;
    rig.site->ctrl = rig.ctrl.get();
    rig.site->serial = rig.serial;
    rig.ctrl->UserControl_InitProperties();
    rig.ctrl->UserControl_Resize();
    auto bag = bagOf({{"Port", Variant(int32_t{2})}});
    rig.ctrl->UserControl_ReadProperties(bag);
    rig.ctrl->Port(9);
    rig.ctrl->Bauds(14400);
    EXPECT_EQ(vantrel::testing::errorNumberOf([&] { rig.ctrl->PortIsOpen(true); }),
              err::GetNotSupportedAtRuntime);
    EXPECT_TRUE(rig.site->changed.empty());

    rig.ctrl->Port(5);
    rig.ctrl->Bauds(19200);
    EXPECT_EQ(rig.site->seen, (std::vector<std::string>{"Port field 5 component 1",
                                                        "Bauds field 19200 component 9600,N,8,1"}));
    EXPECT_EQ(rig.serial->port, 5);
    EXPECT_EQ(rig.serial->settings, "19200,N,8,1");
}

// Records every size assignment.
class SizeLogSite : public FakeSite {
  public:
    using FakeSite::Height;
    using FakeSite::Width;
    void Height(int32_t h) override {
        log.push_back("H" + std::to_string(h));
        if (h == failAt) throw Error(err::InvalidPropertyValue, "refused");
        FakeSite::Height(h);
    }
    void Width(int32_t w) override {
        log.push_back("W" + std::to_string(w));
        if (w == failAt) throw Error(err::InvalidPropertyValue, "refused");
        FakeSite::Width(w);
    }
    std::vector<std::string> log;
    int32_t failAt = -1;
};

TEST(Resize, FirstSitingNestsAndEnds) {
    BareRig<SizeLogSite> rig;
    rig.ctrl->UserControl_Resize();
    // Height changes and re-enters; the nested run changes Width and re-enters once more; the
    // innermost run and the rest of the outer ones change nothing.
    EXPECT_EQ(rig.site->log,
              (std::vector<std::string>{"H560", "H560", "W560", "H560", "W560", "W560"}));
    EXPECT_EQ(rig.site->Height(), 560);
    EXPECT_EQ(rig.site->Width(), 560);
}

TEST(Resize, AnySizeEndsAt560By560) {
    const std::pair<int32_t, int32_t> sizes[] = {{0, 0},     {1, 1},     {560, 560},
                                                 {561, 559}, {559, 561}, {10000, 20},
                                                 {560, 0},   {0, 560},   {INT32_MAX, INT32_MAX}};
    for (auto [h, w] : sizes) {
        BareRig<SizeLogSite> rig;
        rig.ctrl->UserControl_Resize();
        rig.site->log.clear();
        rig.site->Height(h);
        rig.site->Width(w);
        EXPECT_EQ(rig.site->Height(), 560) << h << "x" << w;
        EXPECT_EQ(rig.site->Width(), 560) << h << "x" << w;
        // A host assignment that changes the size runs the hook, whose one changing assignment
        // runs it once more: five assignments in all. One that changes nothing runs nothing.
        EXPECT_EQ(rig.site->log.size(), (h != 560 ? 5u : 1u) + (w != 560 ? 5u : 1u))
            << h << "x" << w;
    }
}

TEST(Resize, RefusedSizesAndFailures) {
    BareRig<SizeLogSite> rig;
    rig.ctrl->UserControl_Resize();
    EXPECT_EQ(vantrel::testing::errorNumberOf([&] { rig.site->Height(-1); }),
              err::InvalidPropertyValue);
    EXPECT_EQ(rig.site->Height(), 560);

    // A failing size assignment reaches whoever called the hook.
    BareRig<SizeLogSite> failing;
    failing.site->failAt = 560;
    EXPECT_EQ(vantrel::testing::errorNumberOf([&] { failing.ctrl->UserControl_Resize(); }),
              err::InvalidPropertyValue);
    EXPECT_EQ(failing.site->log, std::vector<std::string>{"H560"});
}

TEST(Resize, SiteOutlivingTheControlNoLongerCallsIt) {
    BareRig<SizeLogSite> rig;
    rig.ctrl->UserControl_Resize();
    rig.ctrl.reset();
    rig.site->log.clear();
    rig.site->Height(100);
    EXPECT_EQ(rig.site->Height(), 100);
    EXPECT_EQ(rig.site->log, std::vector<std::string>{"H100"});
}

TEST(PortIsOpenAssignment, FailsInEitherModeAndChangesNothing) {
    const std::tuple<bool, bool, bool, int32_t, const char*> cases[] = {
        {false, false, true, 382, "Set not supported at runtime"},
        {false, true, false, 382, "Set not supported at runtime"},
        {true, false, true, 393, "Get not supported at runtime"},
        {true, true, false, 393, "Get not supported at runtime"},
    };
    for (auto [userMode, before, assigned, number, text] : cases) {
        FakeRig rig;
        rig.site->userMode = userMode;
        CtrlProbe::portIsOpen(*rig.ctrl) = before;
        CtrlProbe::errorString(*rig.ctrl) = "earlier";
        try {
            rig.ctrl->PortIsOpen(assigned);
            ADD_FAILURE() << "assignment succeeded";
        } catch (const Error& e) {
            EXPECT_EQ(e.number(), number);
            EXPECT_STREQ(e.what(), text);
        }
        EXPECT_EQ(rig.ctrl->PortIsOpen(), before);
        EXPECT_EQ(rig.ctrl->ErrorString(), "earlier");
        EXPECT_TRUE(rig.site->changed.empty());
        EXPECT_FALSE(rig.serial->open);
    }
}

}  // namespace
