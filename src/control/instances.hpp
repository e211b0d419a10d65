// The count of live controls, which the library's unload query answers from.
#pragma once

namespace vantrel::detail {

void controlCreated() noexcept;
void controlDestroyed() noexcept;
long liveControlCount() noexcept;

}  // namespace vantrel::detail
