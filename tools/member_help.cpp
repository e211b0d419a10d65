// vantrel command-line tool: the control's members explained in plain words, from the member
// table's usage and summary texts.
#include "member_help.hpp"

#include <algorithm>
#include <cctype>

#include "vantrel/component.h"
#include "vantrel/ctrl.hpp"
#include "vantrel/vantrel.h"

namespace vantrel::cli {

namespace {

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// The first row of each member (a property's read and assignment share their texts).
std::vector<const MemberInfo*> firstRows() {
    std::vector<const MemberInfo*> out;
    for (const MemberInfo& m : memberTable())
        if (std::none_of(out.begin(), out.end(),
                         [&](const MemberInfo* seen) { return seen->id == m.id; }))
            out.push_back(&m);
    return out;
}

const MemberInfo* findDoc(std::string_view name) {
    for (const MemberInfo* m : firstRows())
        if (sameName(m->name, name)) return m;
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
    for (const MemberInfo* m : firstRows()) {
        std::string row = "  ";
        row += m->usage;
        row.resize(std::max<std::size_t>(row.size() + 2, 26), ' ');
        out.push_back(row + m->summary);
    }
    return out;
}

std::vector<std::string> memberDetails(std::string_view name) {
    const MemberInfo* d = findDoc(name);
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
    const MemberInfo* d = findDoc(name);
    return d ? d->summary : "";
}

std::vector<std::string> memberNames() {
    std::vector<std::string> out;
    for (const MemberInfo* m : firstRows()) out.emplace_back(m->name);
    return out;
}

}  // namespace vantrel::cli
