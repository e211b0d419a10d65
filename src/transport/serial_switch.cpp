// vantrel: the serial component a control owns. It picks the transport each time the port
// opens, by what the port map gives for COM n: a device path goes to termios, an
// "rfc2217://" or "socket://" string to the network component.
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "transport/net_serial.hpp"
#include "vantrel/platform.hpp"

namespace vantrel {

namespace {

class SerialSwitch final : public SerialComm {
  public:
    SerialSwitch(EventLoop& loop, std::size_t inBufferSize)
        : loop_(loop), inBufferSize_(inBufferSize) {
        use(makePosixSerial(loop_, inBufferSize_), false);
    }

    int16_t CommPort() const override { return current_->CommPort(); }
    void CommPort(int16_t port) override { current_->CommPort(port); }
    std::string Settings() const override { return current_->Settings(); }
    void Settings(std::string_view settings) override { current_->Settings(settings); }
    bool PortOpen() const override { return current_->PortOpen(); }

    void PortOpen(bool open) override {
        if (open && !current_->PortOpen()) {
            const bool net = isNetDevice(PortMap::instance().devicePath(current_->CommPort()));
            if (net != net_) {
                std::unique_ptr<SerialComm> next = net ? makeNetSerial(loop_, inBufferSize_)
                                                       : makePosixSerial(loop_, inBufferSize_);
                next->CommPort(current_->CommPort());
                next->Settings(current_->Settings());
                use(std::move(next), net);
            }
        }
        if (!open) {
            current_->PortOpen(false);
            return;
        }
        try {
            current_->PortOpen(true);
            lastOpenError_.clear();
        } catch (const std::exception& e) {
            lastOpenError_ = e.what();
            throw;
        }
    }

    std::string lastOpenError() const override { return lastOpenError_; }

    void Output(std::string_view bytes) override { current_->Output(bytes); }
    std::string Input() override { return current_->Input(); }
    int16_t CommEvent() const override { return current_->CommEvent(); }
    bool HungUp() const override { return current_->HungUp(); }

    void setOnComm(std::function<void()> onComm) override {
        onComm_ = std::make_shared<std::function<void()>>(std::move(onComm));
    }

    void deliverPending() override { current_->deliverPending(); }

    void setTrace(TraceFn trace) override {
        trace_ = std::move(trace);
        current_->setTrace(trace_);
    }

  private:
    // The component being replaced may be inside a notification (a handler that closes the
    // port and opens another): it notices that it is gone and returns at once.
    void use(std::unique_ptr<SerialComm> next, bool net) {
        next->setOnComm([this] {
            const std::shared_ptr<std::function<void()>> onComm = onComm_;
            if (onComm && *onComm) (*onComm)();
        });
        if (trace_) next->setTrace(trace_);
        current_ = std::move(next);
        net_ = net;
    }

    EventLoop& loop_;
    const std::size_t inBufferSize_;
    std::unique_ptr<SerialComm> current_;
    bool net_ = false;
    std::shared_ptr<std::function<void()>> onComm_;
    TraceFn trace_;
    std::string lastOpenError_;
};

}  // namespace

std::unique_ptr<SerialComm> makeSerialComm(EventLoop& loop) {
    return makeSerialComm(loop, defaultInBufferSize);
}

std::unique_ptr<SerialComm> makeSerialComm(EventLoop& loop, std::size_t inBufferSize) {
    return std::make_unique<SerialSwitch>(loop, inBufferSize);
}

bool isDeviceUrl(std::string_view device) {
    return isNetDevice(device);
}

}  // namespace vantrel
