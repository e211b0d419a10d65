// VantrelCtrl::FindChip: the board searched for on COM1 to COM8.
#include <string>

#include "vantrel/ctrl.hpp"

namespace vantrel {

bool VantrelCtrl::FindChip(int32_t& BaudRate) {
    // A rate that is refused leaves the scan at the rate already set.
    Bauds(BaudRate);
    for (int16_t port = 1; port <= 8; ++port) {
        // Also closes a port the host held open, and the silent port of the pass before.
        ClosePort();
        Port(port);
        if (!OpenPort()) continue;
        std::string probe = "PRA";
        if (Command(probe)) return true;
    }
    // Port 8 stays selected, and open if it opened.
    return false;
}

}  // namespace vantrel
