// vantrel: asking a serial driver to hand received bytes on at once.
//
// USB adapters otherwise collect received bytes for up to 16 ms before passing them on, most
// of the reply timeout at 115200 baud. Pseudo-terminals and many drivers know no such mode;
// for them both calls do nothing.
#pragma once

namespace vantrel {

// Sets ASYNC_LOW_LATENCY on fd (TIOCGSERIAL/TIOCSSERIAL). True when it set the flag, so that
// dropLowLatency must clear it again; false when the flag was set already or the driver
// refused. Never fails otherwise.
bool requestLowLatency(int fd) noexcept;

// Clears ASYNC_LOW_LATENCY on fd again, leaving the driver's other flags as they are.
void dropLowLatency(int fd) noexcept;

}  // namespace vantrel
