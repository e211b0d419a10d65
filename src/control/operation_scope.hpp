// The control's operations as the serial component sees them: one begin and one end around the
// outermost member call that talks to the board, so that a shared board keeps its commands
// together.
#pragma once

#include "vantrel/serial_comm.hpp"

namespace vantrel::detail {

class OperationScope {
  public:
    OperationScope(SerialComm& comm, int& depth) : comm_(comm), depth_(depth) {
        if (depth_++ == 0) comm_.beginOperation();
    }
    ~OperationScope() {
        if (--depth_ == 0) comm_.endOperation();
    }
    OperationScope(const OperationScope&) = delete;
    OperationScope& operator=(const OperationScope&) = delete;

  private:
    SerialComm& comm_;
    int& depth_;
};

}  // namespace vantrel::detail
