// _vantrel: Ctrl-C during a call that waits in the library.
//
// Python runs its signal handlers on the main thread, between bytecodes: a call that waits in
// the thread's event loop with the GIL released would see Ctrl-C only when its wait ends (8 s
// for a reply at 300 baud). So while such a call runs on the main thread, a pipe that SIGINT
// makes readable is watched on that thread's loop; when it turns readable, the watch takes the
// GIL and lets Python run its handlers, and what they raise (KeyboardInterrupt) ends the call:
// the exception leaves through the library as an event handler's does.
#pragma once

#include <pybind11/pybind11.h>

namespace vantrel::python {

// Remembers the thread Python runs signal handlers on, and from then on SIGINT also writes
// to the pipe (call at import).
void setMainThread();

// While one lives on the main thread, SIGINT interrupts the loop's waits (construct it with
// the GIL held, before releasing it). Elsewhere it does nothing.
class Interruptible {
  public:
    Interruptible();
    ~Interruptible();
    Interruptible(const Interruptible&) = delete;
    Interruptible& operator=(const Interruptible&) = delete;

  private:
    bool active_ = false;
};

}  // namespace vantrel::python
