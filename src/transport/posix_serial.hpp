// vantrel: the termios serial component with the way it reaches line events made explicit, so
// that tests can stand in for a device that reports them.
#pragma once

#include <cstddef>
#include <memory>

#include "transport/line_events.hpp"
#include "vantrel/platform.hpp"

namespace vantrel {

// As makePosixSerial(loop, inBufferSize); every device it opens has its line state read
// through `lines` (the ioctl ones in the public overloads).
std::unique_ptr<SerialComm> makePosixSerial(EventLoop& loop, std::size_t inBufferSize,
                                            LineSupport lines);

}  // namespace vantrel
