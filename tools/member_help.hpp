// vantrel command-line tool: the control's members explained in plain words, for the shell.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::cli {

// One line per member: how to call it and what it does.
std::vector<std::string> memberOverview();
// A few lines on one member (name in any case); nothing when there is no such member.
std::vector<std::string> memberDetails(std::string_view name);
// One sentence on what a member does; empty when there is no such member.
std::string memberSummary(std::string_view name);
// Every member name once, in interface order.
std::vector<std::string> memberNames();
// The name of a value type as the type library spells it ("Integer", "Variant", ...).
const char* vtName(uint16_t vt);

}  // namespace vantrel::cli
