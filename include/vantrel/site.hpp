// vantrel: what the host provides to a control: its message pump, user mode and notifications.
#pragma once

#include "vantrel/export.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "vantrel/event_loop.hpp"

namespace vantrel VANTREL_API {

// A site serves one control: the control registers its resize handler here when it is created
// and removes it when it is destroyed.
class Site {
  public:
    virtual ~Site() = default;
    // One pass of the host's message loop: deliver what is pending, blocking until something is.
    virtual void DoEvents() = 0;
    // Ambient UserMode: true while the host runs its application, false in design mode.
    virtual bool UserMode() const { return true; }
    // A persisted property of the control changed.
    virtual void PropertyChanged(std::string_view name) { (void)name; }

    // The control's extent, in the container's scale units. This default keeps it in memory,
    // starting at 0 by 0; a host with a real container overrides all four and calls
    // notifyResize() whenever the size it shows really changes.
    virtual int32_t Height() const { return height_; }
    virtual int32_t Width() const { return width_; }
    // Sets the extent; when the value differs from the current one, the control's resize
    // handler runs before the call returns (and may set the extent again, nested). A negative
    // size throws Error 380; a failure of the resize handler reaches the caller.
    virtual void Height(int32_t height);
    virtual void Width(int32_t width);

    // The handler that notifyResize() runs (the control's UserControl_Resize); empty removes it.
    void setOnResize(std::function<void()> onResize) { onResize_ = std::move(onResize); }

  protected:
    // Tells the control that its size has changed.
    void notifyResize();

  private:
    int32_t height_ = 0;
    int32_t width_ = 0;
    std::function<void()> onResize_;
};

// A site whose message pump is one pass of the given event loop.
class LoopSite : public Site {
  public:
    explicit LoopSite(EventLoop& loop) : loop_(loop) {}
    void DoEvents() override { loop_.pumpOnce(); }

  private:
    EventLoop& loop_;
};

}  // namespace vantrel
