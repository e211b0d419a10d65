// vantrel: the resolver that gives a serial component the device of COM n from the port map.
#include <charconv>
#include <string>
#include <string_view>

#include "vantrel/error.hpp"
#include "vantrel/ports.hpp"
#include "vantrel/serial_comm.hpp"

namespace vantrel {

DeviceResolver portMapDevices() {
    return [](int port) {
        PortMap::Entry entry = PortMap::instance().entry(port);
        if (entry.device.empty())
            throw Error(err::PortOpenFailed, "COM" + std::to_string(port) + " has no device: " +
                                                 entry.note + " (map it to use it)");
        return std::move(entry.device);
    };
}

std::string windowsNameNote(std::string_view device) {
    std::string_view number = device;
    if (number.size() < 4 || (number.substr(0, 3) != "COM" && number.substr(0, 3) != "com"))
        return {};
    number.remove_prefix(3);
    if (number.back() == ':') number.remove_suffix(1);
    int n = 0;
    const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), n);
    if (ec != std::errc() || end != number.data() + number.size() || n < 1 || n > 255) return {};
    return std::string(device) + " is a Windows port name: here it is COM number " +
           std::to_string(n) + " (the port map makes it a device, by default /dev/ttyS" +
           std::to_string(n - 1) + "), or give the device path itself, such as /dev/ttyUSB0";
}

}  // namespace vantrel
