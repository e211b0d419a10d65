// vantrel command-line tool: the channels each converter has.
#include "channels.hpp"

namespace vantrel::cli {

std::string channelRefusal(int bits, int channel) {
    if (channel >= 0 && channel <= lastChannel(bits)) return {};
    return "the " + std::to_string(bits) + "-bit converter has no channel " +
           std::to_string(channel) + " (channels 0 to " + std::to_string(lastChannel(bits)) +
           "); nothing was sent";
}

}  // namespace vantrel::cli
