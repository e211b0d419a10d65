// Test helper: pump an event loop until a condition holds, with a bound instead of a sleep.
#pragma once

#include <chrono>

#include "vantrel/platform.hpp"

namespace vantrel::test {

// Pumps until done() holds; false when it still does not after maxPasses passes (each pass
// waits at most a second for something to happen).
template <class Done>
bool pumpUntil(EventLoop& loop, Done done, int maxPasses = 1000) {
    for (int pass = 0; !done(); ++pass) {
        if (pass == maxPasses) return false;
        loop.pumpOnce(std::chrono::seconds(1));
    }
    return true;
}

}  // namespace vantrel::test
