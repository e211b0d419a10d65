// The automation interface _VantrelCtrl: the member table and dispatch by member id.
#include <algorithm>
#include <cctype>

#include "vantrel/ctrl.hpp"

namespace vantrel {

namespace {

using Invoker = Variant (*)(VantrelCtrl&, std::span<Variant>);

struct Row {
    MemberInfo info;
    Invoker call;
};

constexpr auto M = InvokeKind::Method;
constexpr auto Get = InvokeKind::PropertyGet;
constexpr auto Put = InvokeKind::PropertyPut;

// A by-reference argument. The member works on a variable of the parameter's type; when the
// caller's value has that type, what the member left in it is written back, also when the call
// fails. A value of any other type goes through a temporary and stays as the caller passed it.
template <typename T, typename Fn>
Variant byRef(Variant& arg, VarType type, T value, Fn fn) {
    if (arg.type() != type) return fn(value);
    try {
        Variant r = fn(value);
        arg = Variant(std::move(value));
        return r;
    } catch (...) {
        arg = Variant(std::move(value));
        throw;
    }
}

template <typename Fn>
Variant withText(std::span<Variant> a, Fn fn) {
    return byRef(a[0], VarType::String, a[0].toString(), fn);
}

template <typename Fn>
Variant withInteger(std::span<Variant> a, Fn fn) {
    return byRef(a[0], VarType::Integer, a[0].toInteger(), fn);
}

template <typename Fn>
Variant withLong(std::span<Variant> a, Fn fn) {
    return byRef(a[0], VarType::Long, a[0].toLong(), fn);
}

const std::vector<Row>& rows() {
    static const std::vector<Row> table = {
        {{"Port", Get, 0x68030002, {}, VarType::Long},
         [](VantrelCtrl& c, std::span<Variant>) { return Variant(c.Port()); }},
        {{"Port", Put, 0x68030002, {{"New_Port", VarType::Long, false}}, VarType::Empty},
         [](VantrelCtrl& c, std::span<Variant> a) {
             c.Port(a[0].toLong());
             return Variant();
         }},
        {{"Bauds", Get, 0x68030001, {}, VarType::Long},
         [](VantrelCtrl& c, std::span<Variant>) { return Variant(c.Bauds()); }},
        {{"Bauds", Put, 0x68030001, {{"New_Bauds", VarType::Long, false}}, VarType::Empty},
         [](VantrelCtrl& c, std::span<Variant> a) {
             c.Bauds(a[0].toLong());
             return Variant();
         }},
        {{"OpenPort", M, 0x6003000A, {}, VarType::Boolean},
         [](VantrelCtrl& c, std::span<Variant>) { return Variant(c.OpenPort()); }},
        {{"ClosePort", M, 0x6003000B, {}, VarType::Boolean},
         [](VantrelCtrl& c, std::span<Variant>) { return Variant(c.ClosePort()); }},
        {{"Command", M, 0x6003000C, {{"s", VarType::String, true}}, VarType::Boolean},
         [](VantrelCtrl& c, std::span<Variant> a) {
             return withText(a, [&](std::string& s) { return Variant(c.Command(s)); });
         }},
        {{"ErrorString", M, 0x6003000D, {}, VarType::String},
         [](VantrelCtrl& c, std::span<Variant>) { return Variant(c.ErrorString()); }},
        {{"c_errorstring", M, 0x6003000E, {{"s", VarType::String, true}}, VarType::Integer},
         [](VantrelCtrl& c, std::span<Variant> a) {
             return withText(a, [&](std::string& s) { return Variant(c.c_errorstring(s)); });
         }},
        {{"ReturnedStr", M, 0x6003000F, {}, VarType::String},
         [](VantrelCtrl& c, std::span<Variant>) { return Variant(c.ReturnedStr()); }},
        {{"c_returnedstr", M, 0x60030010, {{"s", VarType::String, true}}, VarType::Integer},
         [](VantrelCtrl& c, std::span<Variant> a) {
             return withText(a, [&](std::string& s) { return Variant(c.c_returnedstr(s)); });
         }},
        {{"Status", M, 0x60030011, {}, VarType::String},
         [](VantrelCtrl& c, std::span<Variant>) { return Variant(c.Status()); }},
        {{"c_status", M, 0x60030012, {{"s", VarType::String, true}}, VarType::Integer},
         [](VantrelCtrl& c, std::span<Variant> a) {
             return withText(a, [&](std::string& s) { return Variant(c.c_status(s)); });
         }},
        {{"Value", M, 0x60030013, {}, VarType::Long},
         [](VantrelCtrl& c, std::span<Variant>) { return Variant(c.Value()); }},
        {{"ADC8", M, 0x60030014, {{"Channel", VarType::Integer, true}}, VarType::Boolean},
         [](VantrelCtrl& c, std::span<Variant> a) {
             return withInteger(a, [&](int16_t& ch) { return Variant(c.ADC8(ch)); });
         }},
        {{"ADC10", M, 0x60030015, {{"Channel", VarType::Integer, true}}, VarType::Boolean},
         [](VantrelCtrl& c, std::span<Variant> a) {
             return withInteger(a, [&](int16_t& ch) { return Variant(c.ADC10(ch)); });
         }},
        {{"ADC12", M, 0x60030016, {{"Channel", VarType::Integer, true}}, VarType::Boolean},
         [](VantrelCtrl& c, std::span<Variant> a) {
             return withInteger(a, [&](int16_t& ch) { return Variant(c.ADC12(ch)); });
         }},
        {{"PortIsOpen", Get, 0x68030000, {}, VarType::Boolean},
         [](VantrelCtrl& c, std::span<Variant>) { return Variant(c.PortIsOpen()); }},
        {{"PortIsOpen",
          Put,
          0x68030000,
          {{"New_PortIsOpen", VarType::Boolean, false}},
          VarType::Empty},
         [](VantrelCtrl& c, std::span<Variant> a) {
             c.PortIsOpen(a[0].toBoolean());
             return Variant();
         }},
        // NrOfBits is a Variant: handed over as the caller passed it, compared by the member.
        {{"ADCZeroScale", M, 0x6003001E, {{"NrOfBits", VarType::Empty, true}}, VarType::Boolean},
         [](VantrelCtrl& c, std::span<Variant> a) { return Variant(c.ADCZeroScale(a[0])); }},
        {{"ADCHalfScale", M, 0x6003001F, {{"NrOfBits", VarType::Empty, true}}, VarType::Boolean},
         [](VantrelCtrl& c, std::span<Variant> a) { return Variant(c.ADCHalfScale(a[0])); }},
        {{"ADCFullScale", M, 0x60030020, {{"NrOfBits", VarType::Empty, true}}, VarType::Boolean},
         [](VantrelCtrl& c, std::span<Variant> a) { return Variant(c.ADCFullScale(a[0])); }},
        {{"ADCReSynchronize", M, 0x60030021, {}, VarType::Boolean},
         [](VantrelCtrl& c, std::span<Variant>) { return Variant(c.ADCReSynchronize()); }},
        {{"FindChip", M, 0x60030022, {{"BaudRate", VarType::Long, true}}, VarType::Boolean},
         [](VantrelCtrl& c, std::span<Variant> a) {
             return withLong(a, [&](int32_t& rate) { return Variant(c.FindChip(rate)); });
         }},
        {{"ErrorNr", M, 0x60030023, {}, VarType::Integer},
         [](VantrelCtrl& c, std::span<Variant>) { return Variant(c.ErrorNr()); }},
    };
    return table;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

const Row* findRow(int32_t id, InvokeKind kind) {
    for (const Row& r : rows())
        if (r.info.id == id && r.info.kind == kind) return &r;
    return nullptr;
}

}  // namespace

const std::vector<MemberInfo>& memberTable() {
    static const std::vector<MemberInfo> table = [] {
        std::vector<MemberInfo> t;
        for (const Row& r : rows()) t.push_back(r.info);
        return t;
    }();
    return table;
}

std::optional<int32_t> memberIdByName(std::string_view name) {
    for (const Row& r : rows())
        if (equalsNoCase(r.info.name, name)) return r.info.id;
    return std::nullopt;
}

const MemberInfo* findMember(int32_t id, InvokeKind kind) {
    const Row* r = findRow(id, kind);
    return r ? &r->info : nullptr;
}

Variant invoke(VantrelCtrl& ctrl, int32_t memberId, InvokeKind kind, std::span<Variant> args) {
    const Row* row = findRow(memberId, kind);
    if (!row) throw Error(err::MemberNotFound);
    if (args.size() != row->info.params.size()) throw Error(err::WrongArgumentCount);
    return row->call(ctrl, args);
}

}  // namespace vantrel
