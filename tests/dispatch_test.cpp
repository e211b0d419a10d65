// The automation interface: member table, dispatch by id, coercion, write-back, errors.
#include <gtest/gtest.h>

#include "fakes.hpp"

using namespace vantrel;
using vantrel::testing::FakeRig;

namespace {

int32_t id(const char* name) {
    auto found = memberIdByName(name);
    if (!found) throw std::logic_error(std::string("no member ") + name);
    return *found;
}

TEST(MemberTable, IdsAreTheInterfaceIds) {
    const std::pair<const char*, int32_t> ids[] = {
        {"Port", 0x68030002},          {"Bauds", 0x68030001},       {"OpenPort", 0x6003000A},
        {"ClosePort", 0x6003000B},     {"Command", 0x6003000C},     {"ErrorString", 0x6003000D},
        {"c_errorstring", 0x6003000E}, {"ReturnedStr", 0x6003000F}, {"c_returnedstr", 0x60030010},
        {"Status", 0x60030011},        {"c_status", 0x60030012},    {"Value", 0x60030013},
        {"PortIsOpen", 0x68030000},    {"ErrorNr", 0x60030023},
    };
    for (auto [name, want] : ids) EXPECT_EQ(id(name), want) << name;
    EXPECT_EQ(id("cOmMaNd"), 0x6003000C);
    EXPECT_FALSE(memberIdByName("Nothing"));
    // Every id appears once per kind.
    const auto& table = memberTable();
    for (size_t i = 0; i < table.size(); ++i)
        for (size_t j = i + 1; j < table.size(); ++j)
            EXPECT_FALSE(table[i].id == table[j].id && table[i].kind == table[j].kind)
                << table[i].name;
}

// The texts the shell's help and the Python docstrings are made of.
TEST(MemberTable, EveryMemberSaysHowToCallItAndWhatItDoes) {
    const auto& table = memberTable();
    for (const MemberInfo& m : table) {
        EXPECT_TRUE(std::string_view(m.usage).starts_with(m.name)) << m.name;
        EXPECT_FALSE(std::string_view(m.summary).empty()) << m.name;
        for (const ParamInfo& p : m.params)
            EXPECT_TRUE(p.byRef || p.use == ArgUse::Read) << m.name << " " << p.name;
        for (const MemberInfo& other : table) {
            if (other.id != m.id) continue;
            EXPECT_STREQ(other.usage, m.usage);
            EXPECT_STREQ(other.summary, m.summary);
            EXPECT_STREQ(other.details, m.details);
        }
    }
}

// What the table says a member does with a by-reference argument is what it does.
TEST(MemberTable, ArgumentUseIsWhatTheMemberDoes) {
    FakeRig rig;
    rig.opened();
    rig.serial->reply({"OK 523\r\n>"});
    for (const char* name : {"c_errorstring", "c_returnedstr", "c_status", "Command"}) {
        const MemberInfo* m = findMember(id(name), InvokeKind::Method);
        std::vector<Variant> args{Variant("caller's")};
        invoke(*rig.ctrl, m->id, m->kind, args);
        EXPECT_NE(args[0], Variant("caller's")) << name;
        EXPECT_NE(m->params[0].use, ArgUse::Read) << name;
    }
    for (const char* name : {"ADCZeroScale", "ADCFullScale"}) {
        const MemberInfo* m = findMember(id(name), InvokeKind::Method);
        std::vector<Variant> args{Variant(int32_t{9})};
        invoke(*rig.ctrl, m->id, m->kind, args);
        EXPECT_EQ(args[0], Variant(int32_t{9})) << name;
        EXPECT_EQ(m->params[0].use, ArgUse::Read) << name;
    }
}

TEST(Dispatch, PropertiesAndCoercion) {
    FakeRig rig;
    std::vector<Variant> args{Variant(std::string(" 5 "))};
    EXPECT_EQ(invoke(*rig.ctrl, id("Port"), InvokeKind::PropertyPut, args), Variant());
    std::vector<Variant> none;
    EXPECT_EQ(invoke(*rig.ctrl, id("Port"), InvokeKind::PropertyGet, none), Variant(int32_t{5}));
    args = {Variant(19200.0)};
    invoke(*rig.ctrl, id("Bauds"), InvokeKind::PropertyPut, args);
    EXPECT_EQ(rig.ctrl->Bauds(), 19200);
    args = {Variant(4.5)};  // half to even: 4
    invoke(*rig.ctrl, id("Port"), InvokeKind::PropertyPut, args);
    EXPECT_EQ(rig.ctrl->Port(), 4);
}

TEST(Dispatch, ByReferenceTextIsWrittenBack) {
    FakeRig rig;
    rig.opened();
    rig.serial->reply({"OK 523\r\n>"});
    std::vector<Variant> args{Variant("PRS")};
    EXPECT_EQ(invoke(*rig.ctrl, id("Command"), InvokeKind::Method, args), Variant(true));
    EXPECT_EQ(args[0], Variant(" 523>"));
    EXPECT_EQ(invoke(*rig.ctrl, id("Value"), InvokeKind::Method, {}), Variant(int32_t{523}));

    args = {Variant("old")};
    EXPECT_EQ(invoke(*rig.ctrl, id("c_returnedstr"), InvokeKind::Method, args),
              Variant(int16_t{0}));
    EXPECT_EQ(args[0], Variant("OK 523\r\n>"));
    // A number for a text parameter goes through a temporary and stays as passed.
    args = {Variant(int32_t{42})};
    EXPECT_EQ(invoke(*rig.ctrl, id("c_returnedstr"), InvokeKind::Method, args),
              Variant(int16_t{0}));
    EXPECT_EQ(args[0], Variant(int32_t{42}));
}

TEST(Dispatch, Errors) {
    FakeRig rig;
    std::vector<Variant> none;
    std::vector<Variant> one{Variant(int32_t{1})};
    std::vector<Variant> text{Variant("abc")};
    std::vector<Variant> null{Variant::null()};
    EXPECT_EQ(vantrel::testing::errorNumberOf(
                  [&] { invoke(*rig.ctrl, 0x12345678, InvokeKind::Method, none); }),
              err::MemberNotFound);
    EXPECT_EQ(vantrel::testing::errorNumberOf(
                  [&] { invoke(*rig.ctrl, id("Value"), InvokeKind::PropertyPut, one); }),
              err::MemberNotFound);
    EXPECT_EQ(vantrel::testing::errorNumberOf(
                  [&] { invoke(*rig.ctrl, id("Value"), InvokeKind::Method, one); }),
              err::WrongArgumentCount);
    EXPECT_EQ(vantrel::testing::errorNumberOf(
                  [&] { invoke(*rig.ctrl, id("Port"), InvokeKind::PropertyPut, none); }),
              err::WrongArgumentCount);
    EXPECT_EQ(vantrel::testing::errorNumberOf(
                  [&] { invoke(*rig.ctrl, id("Port"), InvokeKind::PropertyPut, text); }),
              err::TypeMismatch);
    EXPECT_EQ(vantrel::testing::errorNumberOf(
                  [&] { invoke(*rig.ctrl, id("Port"), InvokeKind::PropertyPut, null); }),
              err::InvalidUseOfNull);
    EXPECT_EQ(rig.ctrl->Port(), 1);
    rig.site->userMode = false;
    std::vector<Variant> flag{Variant(true)};
    EXPECT_EQ(vantrel::testing::errorNumberOf(
                  [&] { invoke(*rig.ctrl, id("PortIsOpen"), InvokeKind::PropertyPut, flag); }),
              err::SetNotSupportedAtRuntime);
    rig.site->userMode = true;
    EXPECT_EQ(vantrel::testing::errorNumberOf(
                  [&] { invoke(*rig.ctrl, id("PortIsOpen"), InvokeKind::PropertyPut, flag); }),
              err::GetNotSupportedAtRuntime);
    EXPECT_FALSE(rig.ctrl->PortIsOpen());
}

}  // namespace
