// vantrel: the seams through which the control reaches the outside world, and their POSIX
// implementations. The control never calls the operating system itself. One header a concern;
// this one includes them all.
#pragma once

#include "vantrel/codepage.hpp"
#include "vantrel/event_loop.hpp"
#include "vantrel/ports.hpp"
#include "vantrel/property_store.hpp"
#include "vantrel/serial_comm.hpp"
#include "vantrel/site.hpp"
#include "vantrel/variant.hpp"
