// vantrel: the resolver that gives a serial component the device of COM n from the port map.
#include <string>

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

}  // namespace vantrel
