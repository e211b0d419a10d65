// Fakes of the platform seams, for exact and fast unit tests of the control.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "vantrel/ctrl.hpp"

namespace vantrel::testing {

// Reads and writes the state record of a control.
class CtrlProbe {
  public:
    static Variant& value(VantrelCtrl& c) { return c.m_Value; }
    static std::string& errorString(VantrelCtrl& c) { return c.m_ErrorString; }
    static bool& inAdcRead(VantrelCtrl& c) { return c.m_InAdcRead; }
    static bool& inSelfTest(VantrelCtrl& c) { return c.m_InSelfTest; }
    static bool& inResync(VantrelCtrl& c) { return c.m_InResync; }
    static bool& portIsOpen(VantrelCtrl& c) { return c.m_PortIsOpen; }
    static bool& timedOut(VantrelCtrl& c) { return c.m_TimedOut; }
    static bool& chipReady(VantrelCtrl& c) { return c.m_ChipReady; }
    static int32_t& bauds(VantrelCtrl& c) { return c.m_Bauds; }
    static int16_t& nrOfBits(VantrelCtrl& c) { return c.m_NrOfBits; }
    static std::optional<int16_t>& lastAddress(VantrelCtrl& c) { return c.m_LastAddress; }
};

class FakeSite;

// The message pump of the fakes: a queue of passes. Each DoEvents runs the next pass; with
// none queued, it ticks the timer if it is enabled (a silent line), otherwise it fails the
// test rather than spin.
class FakeTimer : public Timer {
  public:
    int32_t Interval() const override { return interval; }
    void Interval(int32_t ms) override {
        if (ms < 0) throw Error(err::InvalidPropertyValue);
        interval = ms;
        intervals.push_back(ms);
    }
    bool Enabled() const override { return enabled; }
    void Enabled(bool on) override { enabled = on; }
    void setOnTick(std::function<void()> f) override { onTick = std::move(f); }
    void tick() {
        if (onTick) onTick();
    }

    int32_t interval = 0;
    bool enabled = false;
    std::vector<int32_t> intervals;
    std::function<void()> onTick;
};

class FakeSite : public Site {
  public:
    void DoEvents() override {
        ++pumps;
        if (!passes.empty()) {
            auto pass = std::move(passes.front());
            passes.pop_front();
            pass();
        } else if (timer && timer->enabled) {
            timer->tick();
        } else {
            throw std::logic_error("DoEvents with nothing pending would block forever");
        }
    }
    bool UserMode() const override { return userMode; }
    void PropertyChanged(std::string_view name) override { changed.emplace_back(name); }

    std::deque<std::function<void()>> passes;
    FakeTimer* timer = nullptr;
    int pumps = 0;
    bool userMode = true;
    std::vector<std::string> changed;
};

// The serial component of the fakes. Each Output takes the next scripted reply and queues its
// chunks as passes of the site, one chunk per pass.
class FakeSerial : public SerialComm {
  public:
    int16_t CommPort() const override { return port; }
    void CommPort(int16_t p) override {
        if (failCommPort) throw Error(err::InvalidPortNumber, "refused");
        port = p;
    }
    std::string Settings() const override { return settings; }
    void Settings(std::string_view s) override {
        if (failSettings) throw Error(err::SettingsFailed, "refused");
        settings = std::string(s);
    }
    bool PortOpen() const override { return open; }
    void PortOpen(bool o) override {
        if (o && (failOpen || open)) throw Error(err::PortOpenFailed, "open: refused");
        open = o;
    }
    void Output(std::string_view bytes) override {
        if (!open) throw Error(err::PortNotOpen, "not open");
        written += bytes;
        lines.emplace_back(bytes);
        if (!replies.empty()) {
            auto chunks = std::move(replies.front());
            replies.pop_front();
            for (auto& c : chunks) site->passes.push_back([this, c] { receive(c); });
        }
    }
    std::string Input() override { return std::exchange(inbuf, {}); }
    int16_t CommEvent() const override { return event; }
    void setOnComm(std::function<void()> f) override { onComm = std::move(f); }
    void deliverPending() override {
        if (!pending.empty()) receive(std::exchange(pending, {}));
    }

    // The device received bytes.
    void receive(std::string_view bytes) {
        inbuf += bytes;
        notify(comm::Receive);
    }
    void notify(int16_t code) {
        event = code;
        if (onComm) onComm();
    }
    // Scripts the reply to the next command, split into chunks delivered one per pass.
    void reply(std::vector<std::string> chunks) { replies.push_back(std::move(chunks)); }
    // Scripts a reply delivered in pieces of `size` bytes.
    void replyInPieces(std::string_view text, size_t size) {
        std::vector<std::string> chunks;
        for (size_t i = 0; i < text.size(); i += size) chunks.emplace_back(text.substr(i, size));
        reply(std::move(chunks));
    }

    FakeSite* site = nullptr;
    int16_t port = 1;
    std::string settings = "9600,N,8,1";
    bool open = false;
    bool failOpen = false;
    bool failCommPort = false;
    bool failSettings = false;
    std::string written;
    std::vector<std::string> lines;
    std::string inbuf;
    std::string pending;  // bytes the device holds before the next deliverPending
    int16_t event = 0;
    std::deque<std::vector<std::string>> replies;
    std::function<void()> onComm;
};

// The number of the vantrel::Error that fn throws, or 0 when it throws none.
inline int32_t errorNumberOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const Error& e) {
        return e.number();
    }
    return 0;
}

// Records the control's events in order.
class EventLog : public VantrelEvents {
  public:
    void InterruptLow() override { events.push_back("L"); }
    void InterruptHigh() override { events.push_back("H"); }
    void NewData(Variant& value, std::string& text) override {
        events.push_back("NewData");
        values.push_back(value);
        texts.push_back(text);
        if (onNewData) onNewData(value, text);
    }
    size_t count(std::string_view e) const {
        size_t n = 0;
        for (auto& x : events) n += x == e;
        return n;
    }
    std::vector<std::string> events;
    std::vector<Variant> values;
    std::vector<std::string> texts;
    std::function<void(Variant&, std::string&)> onNewData;
};

// A new control (port 1, 9600 baud) on fakes, with an event log connected.
struct FakeRig {
    FakeRig() {
        auto s = std::make_unique<FakeSerial>();
        auto t = std::make_unique<FakeTimer>();
        site = std::make_shared<FakeSite>();
        serial = s.get();
        timer = t.get();
        serial->site = site.get();
        site->timer = timer;
        ctrl = std::make_unique<VantrelCtrl>(std::move(s), std::move(t), site);
        ctrl->UserControl_InitProperties();
        ctrl->connect(&log);
    }
    // Opens the port as a host would.
    FakeRig& opened() {
        if (!ctrl->OpenPort()) throw std::logic_error("OpenPort failed on the fake");
        return *this;
    }

    FakeSerial* serial;
    FakeTimer* timer;
    std::shared_ptr<FakeSite> site;
    std::unique_ptr<VantrelCtrl> ctrl;
    EventLog log;
};

}  // namespace vantrel::testing
