// vantrel: the serial component, implemented once whatever carries its bytes: the port number,
// the line format text, the input buffer with its limit, the queue of bytes the device has not
// taken yet, the trace and the events for the owner. Each open asks the resolver it was given
// for the device string of its port number, and the chooser for the kind of link that serves
// it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "transport/link.hpp"
#include "vantrel/serial_comm.hpp"

namespace vantrel {

class SerialBase final : public SerialComm {
  public:
    // Error InvalidPropertyValue for an input buffer of 0 bytes. The first link is the one the
    // chooser gives for an empty device string.
    SerialBase(EventLoop& loop, std::size_t inBufferSize, DeviceResolver resolve,
               LinkChooser choose);
    ~SerialBase() override;

    SerialBase(const SerialBase&) = delete;
    SerialBase& operator=(const SerialBase&) = delete;

    // --- SerialComm ---------------------------------------------------------------------------
    int16_t CommPort() const override { return port_; }
    void CommPort(int16_t port) override;
    std::string Settings() const override { return format_.text(); }
    void Settings(std::string_view settings) override;
    bool PortOpen() const override { return link_->isOpen(); }
    void PortOpen(bool open) override;
    void Output(std::string_view bytes) override;
    std::string Input() override;
    int16_t CommEvent() const override { return event_; }
    bool HungUp() const override { return link_->hungUp(); }
    bool holdReplyTimeout() override { return link_->isOpen() && link_->holdReplyTimeout(); }
    void beginOperation() override {
        if (link_->isOpen()) link_->beginOperation();
    }
    void endOperation() override {
        if (link_->isOpen()) link_->endOperation();
    }
    void setOnComm(std::function<void()> onComm) override;
    void deliverPending() override;
    void setTrace(TraceFn trace) override { trace_ = std::move(trace); }
    std::string lastOpenError() const override { return lastOpenError_; }

    // --- For the link -------------------------------------------------------------------------
    const TraceFn& trace() const { return trace_; }

    // The input buffer. store() appends, keeping the newest bytes up to the limit, and returns
    // whether any were dropped; the dropped front is cut off lazily so that the work stays
    // proportional to what arrives.
    bool store(std::string_view block);
    bool hasInput() const { return inStart_ < in_.size(); }
    void clearInput();

    // Bytes the device has not taken yet, in order.
    void queue(std::string_view bytes);
    bool outputPending() const { return outPos_ < out_.size(); }
    std::size_t outputQueued() const { return out_.size() - outPos_; }
    std::string_view pendingOutput() const;
    // The device took the first `n` bytes of pendingOutput().
    void consumeOutput(std::size_t n);
    void clearOutput();

    // Raises `code` to the owner's handler. Returns false when the handler destroyed the
    // component or replaced the link that called (then nothing of the link may be touched any
    // more).
    bool notify(int16_t code);

  private:
    EventLoop& loop_;
    const std::size_t inLimit_;
    const DeviceResolver resolve_;
    const LinkChooser choose_;
    const LinkKind* kind_ = nullptr;
    std::unique_ptr<Link> link_;
    uint64_t linkId_ = 0;  // counts links made, so that a replaced link is noticed

    int16_t port_ = 1;
    LineFormat format_;
    std::string lastOpenError_;
    std::string in_;  // received bytes not yet taken by Input(), from in_[inStart_]
    std::size_t inStart_ = 0;
    std::string out_;  // bytes the device has not taken yet, from out_[outPos_]
    std::size_t outPos_ = 0;

    int16_t event_ = 0;
    std::shared_ptr<std::function<void()>> onComm_;
    TraceFn trace_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace vantrel
