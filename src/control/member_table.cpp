// The automation interface _VantrelCtrl: the member table and dispatch by member id.
#include <algorithm>
#include <cctype>

#include "no_case.hpp"
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

// A property's texts, shared by its read and assignment rows.
struct Texts {
    const char* usage;
    const char* summary;
    const char* details;
};

constexpr Texts kPort = {"Port | Port = n", "the COM port number, 1 to 8",
                         "Assigning closes an open port first. A number out of range is refused: "
                         "ErrorString says why and Port keeps its value."};
constexpr Texts kBauds = {
    "Bauds | Bauds = rate", "the baud rate, one of 300 to 115200",
    "Rates: 300 600 1200 2400 4800 9600 19200 38400 57600 115200. Another value is refused: "
    "ErrorString says why and Bauds keeps its value. The reply timeout is 2,500,000 / Bauds ms."};
constexpr Texts kPortIsOpen = {"PortIsOpen", "whether the control has opened the port",
                               "Read-only: assigning it is an error (382 or 393)."};

constexpr auto R = ArgUse::Read;
constexpr auto RW = ArgUse::ReadWrite;
constexpr auto W = ArgUse::Write;

MemberInfo property(const char* name, InvokeKind kind, int32_t id, std::vector<ParamInfo> params,
                    VarType result, const Texts& t) {
    return {name, kind, id, std::move(params), result, t.usage, t.summary, t.details};
}

const std::vector<Row>& rows() {
    static const std::vector<Row> table = {
        {property("Port", Get, 0x68030002, {}, VarType::Long, kPort),
         [](VantrelCtrl& c, std::span<Variant>) { return Variant(c.Port()); }},
        {property("Port", Put, 0x68030002, {{"New_Port", VarType::Long, false, R}}, VarType::Empty,
                  kPort),
         [](VantrelCtrl& c, std::span<Variant> a) {
             c.Port(a[0].toLong());
             return Variant();
         }},
        {property("Bauds", Get, 0x68030001, {}, VarType::Long, kBauds),
         [](VantrelCtrl& c, std::span<Variant>) { return Variant(c.Bauds()); }},
        {property("Bauds", Put, 0x68030001, {{"New_Bauds", VarType::Long, false, R}},
                  VarType::Empty, kBauds),
         [](VantrelCtrl& c, std::span<Variant> a) {
             c.Bauds(a[0].toLong());
             return Variant();
         }},
        {{"OpenPort",
          M,
          0x6003000A,
          {},
          VarType::Boolean,
          "OpenPort",
          "opens the serial port at Port and Bauds",
          "True when it opened."},
         [](VantrelCtrl& c, std::span<Variant>) { return Variant(c.OpenPort()); }},
        {{"ClosePort",
          M,
          0x6003000B,
          {},
          VarType::Boolean,
          "ClosePort",
          "closes the serial port",
          ""},
         [](VantrelCtrl& c, std::span<Variant>) { return Variant(c.ClosePort()); }},
        {{"Command",
          M,
          0x6003000C,
          {{"s", VarType::String, true, RW}},
          VarType::Boolean,
          "Command \"text\"",
          "sends one command line and waits for the board's reply",
          "The text goes out with a CR. True for an \"OK\" reply; its number is then in Value. A "
          "board error (\"?\") gives False with ErrorNr and ErrorString. Raises NewData. The "
          "argument comes back as the reply after \"OK\" or the error-code character."},
         [](VantrelCtrl& c, std::span<Variant> a) {
             return withText(a, [&](std::string& s) { return Variant(c.Command(s)); });
         }},
        {{"ErrorString",
          M,
          0x6003000D,
          {},
          VarType::String,
          "ErrorString",
          "the text of the last error (empty when none)",
          ""},
         [](VantrelCtrl& c, std::span<Variant>) { return Variant(c.ErrorString()); }},
        {{"c_errorstring",
          M,
          0x6003000E,
          {{"s", VarType::String, true, W}},
          VarType::Integer,
          "c_errorstring \"\"",
          "copies ErrorString into its argument",
          ""},
         [](VantrelCtrl& c, std::span<Variant> a) {
             return withText(a, [&](std::string& s) { return Variant(c.c_errorstring(s)); });
         }},
        {{"ReturnedStr",
          M,
          0x6003000F,
          {},
          VarType::String,
          "ReturnedStr",
          "everything received since the last command began",
          ""},
         [](VantrelCtrl& c, std::span<Variant>) { return Variant(c.ReturnedStr()); }},
        {{"c_returnedstr",
          M,
          0x60030010,
          {{"s", VarType::String, true, W}},
          VarType::Integer,
          "c_returnedstr \"\"",
          "copies ReturnedStr into its argument",
          ""},
         [](VantrelCtrl& c, std::span<Variant> a) {
             return withText(a, [&](std::string& s) { return Variant(c.c_returnedstr(s)); });
         }},
        {{"Status",
          M,
          0x60030011,
          {},
          VarType::String,
          "Status",
          "the last line status the serial port reported",
          ""},
         [](VantrelCtrl& c, std::span<Variant>) { return Variant(c.Status()); }},
        {{"c_status",
          M,
          0x60030012,
          {{"s", VarType::String, true, W}},
          VarType::Integer,
          "c_status \"\"",
          "copies Status into its argument",
          ""},
         [](VantrelCtrl& c, std::span<Variant> a) {
             return withText(a, [&](std::string& s) { return Variant(c.c_status(s)); });
         }},
        {{"Value",
          M,
          0x60030013,
          {},
          VarType::Long,
          "Value",
          "the last reading or reply number, rounded to a whole number",
          ""},
         [](VantrelCtrl& c, std::span<Variant>) { return Variant(c.Value()); }},
        {{"ADC8",
          M,
          0x60030014,
          {{"Channel", VarType::Integer, true, RW}},
          VarType::Boolean,
          "ADC8 channel",
          "reads a channel of the 8-bit converter",
          "The reading arrives with NewData."},
         [](VantrelCtrl& c, std::span<Variant> a) {
             return withInteger(a, [&](int16_t& ch) { return Variant(c.ADC8(ch)); });
         }},
        {{"ADC10",
          M,
          0x60030015,
          {{"Channel", VarType::Integer, true, RW}},
          VarType::Boolean,
          "ADC10 channel",
          "reads a channel (0 to 13) of the 10-bit converter",
          "The reading arrives with NewData. The channel argument comes back as the address word "
          "sent to the converter."},
         [](VantrelCtrl& c, std::span<Variant> a) {
             return withInteger(a, [&](int16_t& ch) { return Variant(c.ADC10(ch)); });
         }},
        {{"ADC12",
          M,
          0x60030016,
          {{"Channel", VarType::Integer, true, RW}},
          VarType::Boolean,
          "ADC12 channel",
          "reads a channel (0 to 13) of the 12-bit converter",
          "The reading arrives with NewData. The channel argument comes back as the address word "
          "sent to the converter."},
         [](VantrelCtrl& c, std::span<Variant> a) {
             return withInteger(a, [&](int16_t& ch) { return Variant(c.ADC12(ch)); });
         }},
        {property("PortIsOpen", Get, 0x68030000, {}, VarType::Boolean, kPortIsOpen),
         [](VantrelCtrl& c, std::span<Variant>) { return Variant(c.PortIsOpen()); }},
        {property("PortIsOpen", Put, 0x68030000, {{"New_PortIsOpen", VarType::Boolean, false, R}},
                  VarType::Empty, kPortIsOpen),
         [](VantrelCtrl& c, std::span<Variant> a) {
             c.PortIsOpen(a[0].toBoolean());
             return Variant();
         }},
        // NrOfBits is a Variant: handed over as the caller passed it, compared by the member.
        {{"ADCZeroScale",
          M,
          0x6003001E,
          {{"NrOfBits", VarType::Empty, true, R}},
          VarType::Boolean,
          "ADCZeroScale bits",
          "checks a converter (8, 10 or 12 bits) at zero scale",
          "Reads the converter's zero-scale reference input and compares it with the expected "
          "window."},
         [](VantrelCtrl& c, std::span<Variant> a) { return Variant(c.ADCZeroScale(a[0])); }},
        {{"ADCHalfScale",
          M,
          0x6003001F,
          {{"NrOfBits", VarType::Empty, true, R}},
          VarType::Boolean,
          "ADCHalfScale bits",
          "checks a converter at half scale",
          "Reads the converter's half-scale reference input and compares it with the expected "
          "window."},
         [](VantrelCtrl& c, std::span<Variant> a) { return Variant(c.ADCHalfScale(a[0])); }},
        {{"ADCFullScale",
          M,
          0x60030020,
          {{"NrOfBits", VarType::Empty, true, R}},
          VarType::Boolean,
          "ADCFullScale bits",
          "checks a converter at full scale",
          "Reads the converter's full-scale reference input and compares it with the expected "
          "window."},
         [](VantrelCtrl& c, std::span<Variant> a) { return Variant(c.ADCFullScale(a[0])); }},
        {{"ADCReSynchronize",
          M,
          0x60030021,
          {},
          VarType::Boolean,
          "ADCReSynchronize",
          "brings the last converter used back into step with the board",
          ""},
         [](VantrelCtrl& c, std::span<Variant>) { return Variant(c.ADCReSynchronize()); }},
        {{"FindChip",
          M,
          0x60030022,
          {{"BaudRate", VarType::Long, true, R}},
          VarType::Boolean,
          "FindChip rate",
          "looks for the board on COM1 to COM8 at the given rate",
          "Probes each port with \"PRA\"; on success Port and Bauds are those of the board."},
         [](VantrelCtrl& c, std::span<Variant> a) {
             return withLong(a, [&](int32_t& rate) { return Variant(c.FindChip(rate)); });
         }},
        {{"ErrorNr",
          M,
          0x60030023,
          {},
          VarType::Integer,
          "ErrorNr",
          "the board's error number for the last command, 0 when none",
          ""},
         [](VantrelCtrl& c, std::span<Variant>) { return Variant(c.ErrorNr()); }},
    };
    return table;
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
