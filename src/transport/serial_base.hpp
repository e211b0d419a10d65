// vantrel: what the serial components have in common whatever carries their bytes (a termios
// device, a TCP connection): the port number, the line format text, the input buffer with its
// limit, the queue of bytes the device has not taken yet, and the events for the owner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "vantrel/platform.hpp"

namespace vantrel {

// "rate,parity,data,stop". Any positive rate reads; each component decides which it takes.
struct LineFormat {
    uint32_t bauds = 9600;
    char parity = 'N';  // N, E or O
    uint8_t dataBits = 8;
    uint8_t stopBits = 1;

    std::string text() const;
};

// A whole decimal number that fits 32 bits, and nothing else (no sign, no spaces).
std::optional<uint32_t> parseUnsigned(std::string_view text);

// Parses "rate,parity,data,stop": a rate above 0, parity N, E or O in either case, 5 to 8 data
// bits, 1 or 2 stop bits. Nothing when the text is anything else.
std::optional<LineFormat> parseLineFormat(std::string_view text);

class SerialBase : public SerialComm {
  public:
    ~SerialBase() override;

    SerialBase(const SerialBase&) = delete;
    SerialBase& operator=(const SerialBase&) = delete;

    int16_t CommPort() const override { return port_; }
    void CommPort(int16_t port) override;

    void PortOpen(bool open) override;
    using SerialComm::PortOpen;

    std::string Input() override;
    int16_t CommEvent() const override { return event_; }
    void setOnComm(std::function<void()> onComm) override;
    void setTrace(TraceFn trace) override { trace_ = std::move(trace); }

  protected:
    // Error InvalidPropertyValue for an input buffer of 0 bytes.
    explicit SerialBase(std::size_t inBufferSize);

    // Open the device PortMap::instance() gives for port(), or close it.
    virtual void openPort() = 0;
    virtual void closePort() noexcept = 0;

    int16_t port() const { return port_; }
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
    std::string_view pendingOutput() const;
    // The device took the first `n` bytes of pendingOutput().
    void consumeOutput(std::size_t n);
    void clearOutput();

    // Raises `code` to the owner's handler. Returns false when the handler destroyed the
    // component (then nothing of it may be touched any more).
    bool notify(int16_t code);

  private:
    const std::size_t inLimit_;
    int16_t port_ = 1;
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
