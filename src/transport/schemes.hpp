// vantrel: which link serves a device string, from the one table of schemes.
#pragma once

#include <string_view>

#include "transport/link.hpp"

namespace vantrel {

// The kind of link whose scheme ("socket://", in any case) starts the device string; the
// termios link for anything else, a device path.
const LinkKind& linkKindFor(std::string_view device);

}  // namespace vantrel
