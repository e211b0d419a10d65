// How the control's last operation ended, as the library's own layers (Board) read it. Hosts
// see the Boolean result and ErrorString; a text does not tell a board error that happens to
// read "Serial port timed out" from the reply timer, this does.
#pragma once

#include <cstdint>

#include "vantrel/ctrl.hpp"

namespace vantrel::detail {

enum class Outcome : uint8_t {
    Done,             // nothing failed
    NotOperational,   // a command on a port that is not open ("Port is not operational")
    TimedOut,         // the reply timer fired before the prompt ("Serial port timed out")
    BoardRefused,     // the board's error reply; ErrorNr and ErrorString are the board's
    NotUnderstood,    // a reply the control does not recognise
    NoSuchChannel,    // a conversion of a channel the converter does not have
    OutsideWindow,    // a self-test reading outside its window ("Returned value: ...")
    NoSuchWidth,      // a self-test of a width no converter has
    NoSuchCheck,      // a self-test of a reference input the converter does not have
    PortNotOpen,      // a self-test refused on a closed port before any conversion
    NothingToResync,  // ADCReSynchronize before any conversion
};

struct OutcomeReader {
    static Outcome of(const VantrelCtrl& ctrl) noexcept { return ctrl.outcome_; }
};

}  // namespace vantrel::detail
