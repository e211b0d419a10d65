// vantrel: the failed-call exception and every error number the library can raise.
#pragma once

#include "vantrel/export.h"

#include <cstdint>
#include <stdexcept>
#include <string>

namespace vantrel VANTREL_API {

// Error numbers carried by vantrel::Error. The first group is the component model's own;
// the second is ours, for the serial component, the timer and the control.
namespace err {
// Component model.
inline constexpr int32_t Overflow = 6;
inline constexpr int32_t DivisionByZero = 11;
inline constexpr int32_t TypeMismatch = 13;
inline constexpr int32_t InvalidUseOfNull = 94;
inline constexpr int32_t InvalidPropertyValue = 380;
inline constexpr int32_t SetNotSupportedAtRuntime = 382;
inline constexpr int32_t GetNotSupportedAtRuntime = 393;
inline constexpr int32_t MemberNotFound = 438;
inline constexpr int32_t WrongArgumentCount = 450;

// Serial component.
inline constexpr int32_t PortOpenFailed = 8001;  // the device could not be opened
inline constexpr int32_t InvalidPortNumber = 8002;
inline constexpr int32_t PortAlreadyOpen = 8005;  // the component's port is open already
inline constexpr int32_t PortNotOpen = 8012;      // an operation needs an open port
inline constexpr int32_t SettingsFailed = 8015;   // the device refused the line settings
inline constexpr int32_t PortIo = 8020;           // a read or write on the device failed

// Timer and event loop.
inline constexpr int32_t TimerFailed = 8200;
inline constexpr int32_t EventLoopFailed = 8201;

// Control.
inline constexpr int32_t CommandInProgress = 8300;

// Form file and property store.
inline constexpr int32_t FormFile = 8400;
inline constexpr int32_t PortsFile = 8401;  // the ports file is malformed or cannot be written

// Board (board.hpp).
inline constexpr int32_t Timeout = 8500;             // no prompt within the reply timeout
inline constexpr int32_t BoardRefused = 8501;        // the board answered with an error reply
inline constexpr int32_t ReplyNotUnderstood = 8502;  // a reply the control cannot read
inline constexpr int32_t WrongThread = 8503;         // a Board used off the thread that opened it
}  // namespace err

// The standard text for a component-model error number ("Overflow", "Type mismatch", ...);
// empty for numbers of our own, whose text is always given where they are raised.
const char* standardErrorText(int32_t number) noexcept;

// A failed call: the error number and its text. Thrown by members of the control, the
// platform components and the conversions of Variant.
class Error : public std::runtime_error {
  public:
    // Number with its standard text.
    explicit Error(int32_t number);
    // Number with a text of the raiser's own (for example "open /dev/ttyS2: Permission denied").
    Error(int32_t number, const std::string& text);

    int32_t number() const noexcept { return number_; }

  private:
    int32_t number_;
};

}  // namespace vantrel
