// vantrel serve: what a client's commands have left the board's converters in.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vantrel::serve {

// What the board's converters hold between commands, as a control counts on it: the address
// written last, whether the "PRS" after it is still to start that address's conversion, and
// which byte of a word an "@" gives next. The board has one of these for all its clients; each
// client counts on its own (a control remembers the address it wrote and skips writing it
// again), so the daemon keeps one per client and puts the board back into a client's before
// that client's command when another client's commands have changed it.
struct Selection {
    int address = 0;     // a board that has just started: address 0
    bool dummy = false;  // the next "PRS" only starts the conversion
    int next = 0;        // 0: an "@" gives the high byte; 1: the low byte
    bool known = true;   // false: a command whose outcome is not known changed it

    bool operator==(const Selection& o) const {
        return known && o.known && address == o.address && dummy == o.dummy && next == o.next;
    }

    // Follows a command the board carried out (its reply has no "?").
    void follow(std::string_view line);

    // The command lines that bring a board into this selection from any other.
    std::vector<std::string> restore() const;
};

// An address write sets the whole selection anew: nothing to put back before it.
bool writesAddress(std::string_view line);
// The board carried the command out: its reply has no "?" and says OK.
bool carriedOut(std::string_view reply);

}  // namespace vantrel::serve
