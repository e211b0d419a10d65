// vantrel command-line tool: the control's members explained in plain words.
#include "member_help.hpp"

#include <algorithm>
#include <cctype>

#include "vantrel/component.h"
#include "vantrel/vantrel.h"

namespace vantrel::cli {

namespace {

struct Doc {
    const char* name;
    const char* usage;    // how a shell line calls it
    const char* summary;  // what it does, one line
    const char* details;  // more, or empty
};

constexpr Doc kDocs[] = {
    {"Port", "Port | Port = n", "the COM port number, 1 to 8",
     "Assigning closes an open port first. A number out of range is refused: ErrorString says "
     "why and Port keeps its value."},
    {"Bauds", "Bauds | Bauds = rate", "the baud rate, one of 300 to 115200",
     "Rates: 300 600 1200 2400 4800 9600 19200 38400 57600 115200. Another value is refused: "
     "ErrorString says why and Bauds keeps its value. The reply timeout is 2,500,000 / Bauds ms."},
    {"OpenPort", "OpenPort", "opens the serial port at Port and Bauds", "True when it opened."},
    {"ClosePort", "ClosePort", "closes the serial port", ""},
    {"Command", "Command \"text\"", "sends one command line and waits for the board's reply",
     "The text goes out with a CR. True for an \"OK\" reply; its number is then in Value. A "
     "board error (\"?\") gives False with ErrorNr and ErrorString. Raises NewData."},
    {"ErrorString", "ErrorString", "the text of the last error (empty when none)", ""},
    {"c_errorstring", "c_errorstring \"\"", "copies ErrorString into its argument", ""},
    {"ReturnedStr", "ReturnedStr", "everything received since the last command began", ""},
    {"c_returnedstr", "c_returnedstr \"\"", "copies ReturnedStr into its argument", ""},
    {"Status", "Status", "the last line status the serial port reported", ""},
    {"c_status", "c_status \"\"", "copies Status into its argument", ""},
    {"Value", "Value", "the last reading or reply number, rounded to a whole number", ""},
    {"ADC8", "ADC8 channel", "reads a channel of the 8-bit converter",
     "The reading arrives with NewData."},
    {"ADC10", "ADC10 channel", "reads a channel (0 to 13) of the 10-bit converter",
     "The reading arrives with NewData. The channel argument comes back as the address word "
     "sent to the converter."},
    {"ADC12", "ADC12 channel", "reads a channel (0 to 13) of the 12-bit converter",
     "The reading arrives with NewData. The channel argument comes back as the address word "
     "sent to the converter."},
    {"PortIsOpen", "PortIsOpen", "whether the control has opened the port",
     "Read-only: assigning it is an error (382 or 393)."},
    {"ADCZeroScale", "ADCZeroScale bits", "checks a converter (8, 10 or 12 bits) at zero scale",
     "Reads the converter's zero-scale reference input and compares it with the expected "
     "window."},
    {"ADCHalfScale", "ADCHalfScale bits", "checks a converter at half scale",
     "Reads the converter's half-scale reference input and compares it with the expected "
     "window."},
    {"ADCFullScale", "ADCFullScale bits", "checks a converter at full scale",
     "Reads the converter's full-scale reference input and compares it with the expected "
     "window."},
    {"ADCReSynchronize", "ADCReSynchronize",
     "brings the last converter used back into step with the board", ""},
    {"FindChip", "FindChip rate", "looks for the board on COM1 to COM8 at the given rate",
     "Probes each port with \"PRA\"; on success Port and Bauds are those of the board."},
    {"ErrorNr", "ErrorNr", "the board's error number for the last command, 0 when none", ""},
};

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

const Doc* findDoc(std::string_view name) {
    for (const Doc& d : kDocs)
        if (sameName(d.name, name)) return &d;
    return nullptr;
}

}  // namespace

const char* vtName(uint16_t vt) {
    switch (vt) {
        case VANTREL_VT_EMPTY:
            return "Empty";
        case VANTREL_VT_NULL:
            return "Null";
        case VANTREL_VT_INTEGER:
            return "Integer";
        case VANTREL_VT_LONG:
            return "Long";
        case VANTREL_VT_DOUBLE:
            return "Double";
        case VANTREL_VT_CURRENCY:
            return "Currency";
        case VANTREL_VT_STRING:
            return "String";
        case VANTREL_VT_BOOLEAN:
            return "Boolean";
        default:
            return "Variant";
    }
}

std::vector<std::string> memberOverview() {
    std::vector<std::string> out;
    for (const Doc& d : kDocs) {
        std::string row = "  ";
        row += d.usage;
        row.resize(std::max<std::size_t>(row.size() + 2, 26), ' ');
        out.push_back(row + d.summary);
    }
    return out;
}

std::vector<std::string> memberDetails(std::string_view name) {
    const Doc* d = findDoc(name);
    if (!d) return {};
    std::vector<std::string> out = {std::string(d->usage) + ": " + d->summary + "."};
    if (*d->details) out.push_back("  " + std::string(d->details));
    // The interface's own signature of each form (read, assign, call).
    const vantrel_type_library_desc& lib = *vantrel_type_library();
    for (std::size_t i = 0; i < lib.dispatch.member_count; ++i) {
        const vantrel_member_desc& m = lib.dispatch.members[i];
        if (!sameName(m.name, d->name)) continue;
        std::string sig = "  ";
        sig += m.kind == VANTREL_PROPERTYPUT   ? "assign "
               : m.kind == VANTREL_PROPERTYGET ? "read   "
                                               : "call   ";
        sig += std::string(m.name) + "(";
        for (std::size_t p = 0; p < m.param_count; ++p) {
            if (p) sig += ", ";
            if (m.params[p].by_ref) sig += "ByRef ";
            sig += std::string(m.params[p].name) + " As " + vtName(m.params[p].type);
        }
        sig += ")";
        if (m.result != VANTREL_VT_EMPTY) sig += std::string(" -> ") + vtName(m.result);
        out.push_back(sig);
    }
    return out;
}

std::string memberSummary(std::string_view name) {
    const Doc* d = findDoc(name);
    return d ? d->summary : "";
}

std::vector<std::string> memberNames() {
    std::vector<std::string> out;
    for (const Doc& d : kDocs) out.emplace_back(d.name);
    return out;
}

}  // namespace vantrel::cli
