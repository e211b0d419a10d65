// vantrel command-line tool: what the tool says when the control refuses a channel.
#include "channels.hpp"

namespace vantrel::cli {

std::string channelRefusal(const Converter& converter, int channel) {
    if (converter.hasChannel(channel)) return {};
    return "the " + std::to_string(converter.bits) + "-bit converter has no channel " +
           std::to_string(channel) + " (channels 0 to " + std::to_string(converter.lastChannel) +
           "); nothing was sent";
}

const Converter* converterByMember(std::string_view name) {
    for (const Converter& c : converters())
        if (name == c.member) return &c;
    return nullptr;
}

}  // namespace vantrel::cli
