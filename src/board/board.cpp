// Board: the everyday API over one control. Everything here goes through the control's public
// members and reads what a host reads (the Boolean result, ErrorString, ErrorNr, ReturnedStr,
// and the NewData event, the only place the unrounded reading shows), and tells failures apart
// by the control's internal outcome, never by their texts. What sets one converter apart from
// another comes from the converter catalogue.
#include "vantrel/board.hpp"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "control/outcome.hpp"
#include "vantrel/converters.hpp"
#include "vantrel/ctrl.hpp"
#include "vantrel/platform.hpp"

namespace vantrel {

namespace {

using detail::Outcome;

// Every Board open by COM number (and search) holds this lock, so that two Boards never
// search or open through the port map at the same time.
std::mutex& openMutex() {
    static std::mutex m;
    return m;
}

std::optional<double> numberOf(const Variant& v) {
    if (!v.isNumeric()) return std::nullopt;
    return v.toDouble();
}

// The converter of a width, or std::invalid_argument.
const Converter& converterOf(int bits) {
    const Converter* converter = findConverter(bits);
    if (!converter)
        throw std::invalid_argument("converter width " + std::to_string(bits) + ": must be " +
                                    converterWidthsText(" or "));
    return *converter;
}

// The control of a Board, as the thread that opened it keeps track of it.
struct OwnedControl {
    std::unique_ptr<VantrelCtrl> ctrl;
    VantrelEvents* sink = nullptr;

    // Closes the port and lets the control go; on the owner's thread only.
    void shut() noexcept {
        if (!ctrl) return;
        ctrl->disconnect(sink);
        closeControl(std::move(ctrl));
    }

    static void closeControl(std::unique_ptr<VantrelCtrl> ctrl) noexcept {
        try {
            if (ctrl->PortIsOpen()) ctrl->ClosePort();
        } catch (...) {
            // Closing a device that has gone away has nobody to tell.
        }
        ctrl.reset();
    }
};

// The Boards one thread opened. A control's port and reply timer are on its owner's loop,
// which no other thread may touch: a Board destroyed on another thread (a garbage collector's)
// hands its control to the owner, which closes it at its next Board call or open; when the
// thread ends, it closes every Board of its own still open (no other thread could use them).
class Owner {
  public:
    void add(OwnedControl* c) {
        const std::lock_guard lock(m_);
        live_.push_back(c);
    }

    // From the owner's thread.
    void remove(OwnedControl* c) {
        const std::lock_guard lock(m_);
        std::erase(live_, c);
    }

    // From another thread: the control goes to the owner, to be closed there.
    void handOver(OwnedControl* c) {
        const std::lock_guard lock(m_);
        std::erase(live_, c);
        if (!c->ctrl) return;
        c->ctrl->disconnect(c->sink);
        if (ended_) {
            // Cannot happen: an ended thread closed its controls. Never touch a gone loop.
            (void)c->ctrl.release();
            return;
        }
        handed_.push_back(std::move(c->ctrl));
        pending_.store(true, std::memory_order_release);
    }

    // From the owner's thread: closes what other threads handed over.
    void reap() noexcept {
        if (!pending_.load(std::memory_order_acquire)) return;
        std::vector<std::unique_ptr<VantrelCtrl>> handed;
        {
            const std::lock_guard lock(m_);
            handed.swap(handed_);
            pending_.store(false, std::memory_order_relaxed);
        }
        for (auto& c : handed) OwnedControl::closeControl(std::move(c));
    }

    // The owner's thread ends.
    void end() noexcept {
        const std::lock_guard lock(m_);
        ended_ = true;
        for (auto& c : handed_) OwnedControl::closeControl(std::move(c));
        handed_.clear();
        for (OwnedControl* c : live_) c->shut();
        live_.clear();
    }

  private:
    std::mutex m_;
    std::atomic<bool> pending_{false};
    bool ended_ = false;
    std::vector<OwnedControl*> live_;
    std::vector<std::unique_ptr<VantrelCtrl>> handed_;
};

// This thread's Owner. Made after the thread's loop, so that it ends before the loop goes.
const std::shared_ptr<Owner>& thisThreadOwner() {
    struct Holder {
        std::shared_ptr<Owner> owner = std::make_shared<Owner>();
        Holder() = default;
        Holder(const Holder&) = delete;
        Holder& operator=(const Holder&) = delete;
        ~Holder() { owner->end(); }
    };
    (void)threadLoop();
    thread_local const Holder holder;
    return holder.owner;
}

}  // namespace

BoardError::BoardError(int16_t boardErrorNr, std::string boardText, std::string raw)
    : Error(err::BoardRefused, "board error " + std::to_string(boardErrorNr) +
                                   (boardText.empty() ? std::string() : ": " + boardText)),
      boardErrorNr_(boardErrorNr),
      boardText_(std::move(boardText)),
      raw_(std::move(raw)) {}

struct Board::Impl : VantrelEvents, OwnedControl {
    std::thread::id owner = std::this_thread::get_id();
    std::shared_ptr<Owner> owned = thisThreadOwner();
    std::string device;
    int port = 0;
    // A call ended by an exception while its exchange was under way (an event handler's, or
    // an interruption of the wait): the rest of that reply may still come.
    bool unsettled = false;

    // What the last NewData carried.
    bool sawNewData = false;
    std::optional<double> lastValue;

    NewDataFn newData;
    InterruptFn low;
    InterruptFn high;

    // Reconnecting (see ReconnectPolicy). `openedAs` is the device string given (empty for a
    // COM number).
    ReconnectPolicy policy;
    std::string openedAs;
    int32_t rate = 9600;
    bool isAway = false;
    std::chrono::steady_clock::time_point awaySince;
    std::unique_ptr<DeviceWaiter> waiter;
    DeviceIdentity identity;  // of the device as last opened
    std::string refusal;      // why the last device found under its name was not taken
    DisconnectedFn disconnected;
    ReconnectedFn reconnected;

    // A control whose serial component opens COM numbers through the port map.
    Impl() : Impl(nullptr) {}
    // A control whose serial component opens `resolve`'s device, whatever the COM number.
    explicit Impl(DeviceResolver resolve) {
        owned->reap();
        ctrl = makeCtrl(std::move(resolve));
        sink = this;
        ctrl->connect(this);
        owned->add(this);
    }
    ~Impl() override {
        // The port and timer are on the owner's loop: on another thread (a garbage
        // collector's) the control goes to the owner to be closed there.
        if (std::this_thread::get_id() != owner) {
            owned->handOver(this);
            return;
        }
        owned->remove(this);
        release();
    }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    void InterruptLow() override {
        if (low) low();
    }
    void InterruptHigh() override {
        if (high) high();
    }
    void NewData(Variant& m_Value, std::string& ErrorStr) override {
        sawNewData = true;
        lastValue = numberOf(m_Value);
        if (newData) newData(lastValue, ErrorStr);
    }

    void release() noexcept { shut(); }

    void setRate(int32_t baud) {
        ctrl->Bauds(baud);
        if (ctrl->Bauds() != baud) throw Error(err::InvalidPropertyValue, ctrl->ErrorString());
    }

    // A new control: with a resolver, its serial component opens that device whatever the COM
    // number; without one, COM numbers through the port map.
    static std::unique_ptr<VantrelCtrl> makeCtrl(DeviceResolver resolve) {
        if (!resolve) return VantrelCtrl::createNew();
        EventLoop& loop = threadLoop();
        auto c = std::make_unique<VantrelCtrl>(
            makeSerialComm(loop, defaultInBufferSize, std::move(resolve)), makeLoopTimer(loop),
            std::make_shared<LoopSite>(loop));
        c->UserControl_InitProperties();
        c->UserControl_Resize();
        return c;
    }

    // Opens COM `n` through the port map; the caller holds openMutex().
    void openPort(int n) { openPort(*ctrl, n); }
    void openPort(VantrelCtrl& c, int n) {
        c.Port(n);
        if (c.Port() != n) throw Error(err::InvalidPortNumber, c.ErrorString());
        port = n;
        device = PortMap::instance().devicePath(n);
        openDevice(c);
    }

    // Opens what the control's serial component resolves.
    void openDevice(VantrelCtrl& c) {
        if (c.OpenPort()) return;
        // OpenPort keeps only "Port could not be open"; the serial component, asked once more,
        // says why.
        std::string reason = c.ErrorString();
        try {
            c.comm().PortOpen(true);
            c.comm().PortOpen(false);
        } catch (const Error& e) {
            reason = e.what();
        }
        throw Error(err::PortOpenFailed, reason);
    }

    // Reconnecting (below).
    void setPolicy(const ReconnectPolicy& p);
    bool gone() const;
    void goAway(const std::string& reason);
    bool comeBack(std::chrono::steady_clock::time_point deadline, bool orThrow);
    void reopen();
    template <class Op>
    auto guarded(Op op, bool again) -> decltype(op());
    Reply command(std::string_view text);
    double read(int bits, int channel);
    std::vector<SelfCheck> selfTest(int bits);
    SelfCheck referenceCheck(int bits, const ReferenceCheck& check);

    // A false result of a conversion, resync or command, as an exception.
    [[noreturn]] void fail() const {
        const std::string text = ctrl->ErrorString();
        throwIfExchangeFailed();
        if (outcome() == Outcome::NotUnderstood) throw Error(err::ReplyNotUnderstood, text);
        throw BoardError(ctrl->ErrorNr(), text, ctrl->ReturnedStr());
    }

    // A timeout or a port that is gone, as an exception; other outcomes return.
    void throwIfExchangeFailed() const {
        if (outcome() == Outcome::TimedOut) throw Timeout(ctrl->ErrorString());
        if (outcome() == Outcome::NotOperational)
            throw Error(err::PortNotOpen, ctrl->ErrorString());
    }

    Outcome outcome() const { return detail::OutcomeReader::of(*ctrl); }

    // Every call starts here: on the owner's thread only (checked before anything else is
    // looked at), on an open board, after what other threads handed over is closed and the
    // rest of an unfinished reply has come or timed out.
    void use() {
        if (std::this_thread::get_id() != owner)
            throw Error(err::WrongThread, "a Board is used only on the thread that opened it");
        if (!ctrl) throw Error(err::PortNotOpen, "the board is closed");
        owned->reap();
        if (unsettled) settle();
    }

    // Waits for the prompt that ends the unfinished reply, at most one reply timeout, so that
    // the next command does not take it for its own reply.
    void settle() {
        unsettled = false;
        if (!ctrl->PortIsOpen() || ctrl->Bauds() <= 0) return;
        const auto due = std::chrono::steady_clock::now() +
                         std::chrono::microseconds(2'500'000'000LL / ctrl->Bauds());
        while (ctrl->ReturnedStr().find('>') == std::string::npos) {
            const auto left = due - std::chrono::steady_clock::now();
            if (left <= left.zero()) return;
            unsettled = true;  // until this wait has ended too
            threadLoop().pumpOnce(std::chrono::ceil<std::chrono::milliseconds>(left));
            unsettled = false;
        }
    }

    // Runs one exchange of the control, remembering when it ended by an exception.
    template <typename Fn>
    auto exchange(Fn fn) {
        try {
            return fn();
        } catch (...) {
            unsettled = true;
            throw;
        }
    }
};

Board::Board(const std::string& device, int32_t baud) {
    // The device goes to this Board's serial component alone: no COM number of the process
    // stands for it, not even for the moment of the open.
    impl_ = std::make_unique<Impl>(fixedDevice(device));
    impl_->setRate(baud);
    if (device.empty()) throw Error(err::PortOpenFailed, "no device given");
    // The system would open the path up to the NUL: another device than the one named.
    if (device.find('\0') != std::string::npos)
        throw Error(err::PortOpenFailed, "a device path cannot hold a NUL character");
    impl_->device = device;
    impl_->openDevice(*impl_->ctrl);
    impl_->openedAs = device;
    impl_->rate = baud;
}

Board::Board(int port, int32_t baud) : impl_(std::make_unique<Impl>()) {
    impl_->setRate(baud);
    const std::lock_guard lock(openMutex());
    impl_->openPort(port);
    impl_->rate = baud;
}

Board::Board(const std::string& device, int32_t baud, const ReconnectPolicy& policy)
    : Board(device, baud) {
    impl_->setPolicy(policy);
}

Board::Board(int port, int32_t baud, const ReconnectPolicy& policy) : Board(port, baud) {
    impl_->setPolicy(policy);
}

Board::Board() = default;
Board::~Board() = default;
Board::Board(Board&&) noexcept = default;
Board& Board::operator=(Board&&) noexcept = default;

std::optional<Board> Board::find(int32_t baud) {
    Board board;
    board.impl_ = std::make_unique<Impl>();
    board.impl_->setRate(baud);
    const std::lock_guard lock(openMutex());
    int32_t rate = baud;
    if (!board.ctrl().FindChip(rate)) return std::nullopt;
    board.impl_->port = board.ctrl().Port();
    board.impl_->device = PortMap::instance().devicePath(board.impl_->port);
    return board;
}

const std::string& Board::device() const {
    return impl_->device;
}

int Board::port() const {
    return impl_->port;
}

int32_t Board::baud() const {
    return impl_->ctrl ? impl_->ctrl->Bauds() : 0;
}

VantrelCtrl& Board::ctrl() {
    impl_->use();
    return *impl_->ctrl;
}

void Board::close() {
    Impl& d = *impl_;
    if (std::this_thread::get_id() != d.owner)
        throw Error(err::WrongThread, "a Board is used only on the thread that opened it");
    if (!d.ctrl) throw Error(err::PortNotOpen, "the board is closed");
    d.owned->reap();
    d.release();
}

Reply Board::command(std::string_view text) {
    Impl& d = *impl_;
    d.use();
    return d.guarded([&] { return d.command(text); }, false);
}

Reply Board::Impl::command(std::string_view text) {
    Impl& d = *this;
    std::string s(text);
    d.sawNewData = false;
    Reply r;
    r.ok = d.exchange([&] { return d.ctrl->Command(s); });
    r.errorNr = d.ctrl->ErrorNr();
    r.text = d.ctrl->ErrorString();
    r.tail = std::move(s);
    r.raw = d.ctrl->ReturnedStr();
    if (r.ok)
        r.value = d.sawNewData ? d.lastValue : std::nullopt;
    else
        d.throwIfExchangeFailed();
    return r;
}

double Board::read(int bits, int channel) {
    Impl& d = *impl_;
    d.use();
    return d.guarded([&] { return d.read(bits, channel); }, true);
}

TimedReading Board::readTimed(int bits, int channel) {
    Impl& d = *impl_;
    d.use();
    return d.guarded(
        [&] {
            TimedReading r;
            r.time = std::chrono::system_clock::now();
            r.value = d.read(bits, channel);
            return r;
        },
        true);
}

double Board::Impl::read(int bits, int channel) {
    Impl& d = *this;
    const Converter& converter = converterOf(bits);
    if (!converter.hasChannel(channel))
        throw std::invalid_argument("channel " + std::to_string(channel) + " of the " +
                                    std::to_string(bits) + "-bit converter: must be 0 to " +
                                    std::to_string(converter.lastChannel));
    // The conversions write the address word into their argument: the caller's channel is
    // never handed to them.
    auto ch = static_cast<int16_t>(channel);
    d.sawNewData = false;
    if (!d.exchange([&] { return ((*d.ctrl).*converter.convert)(ch); })) d.fail();
    if (!d.sawNewData || !d.lastValue)
        throw Error(err::ReplyNotUnderstood, "the conversion ended without a reading");
    return *d.lastValue;
}

std::vector<double> Board::readMany(int bits, int channel, int count,
                                    std::chrono::microseconds interval) {
    std::vector<double> readings;
    readMany(bits, channel, count, interval, readings);
    return readings;
}

void Board::readMany(int bits, int channel, int count, std::chrono::microseconds interval,
                     std::vector<double>& readings) {
    impl_->use();
    if (count < 0) throw std::invalid_argument("count must not be negative");
    readings.reserve(readings.size() + static_cast<std::size_t>(count));
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        if (i > 0 && interval.count() > 0) {
            const auto due = start + interval * i;
            while (true) {
                const auto left = due - std::chrono::steady_clock::now();
                if (left <= left.zero()) break;
                threadLoop().pumpOnce(std::chrono::ceil<std::chrono::milliseconds>(left));
            }
        }
        readings.push_back(read(bits, channel));
    }
}

std::vector<SelfCheck> Board::selfTest(int bits) {
    Impl& d = *impl_;
    d.use();
    return d.guarded([&] { return d.selfTest(bits); }, true);
}

std::vector<SelfCheck> Board::Impl::selfTest(int bits) {
    std::vector<SelfCheck> checks;
    for (const ReferenceCheck& check : converterOf(bits).checks)
        checks.push_back(referenceCheck(bits, check));
    return checks;
}

SelfCheck Board::Impl::referenceCheck(int bits, const ReferenceCheck& check) {
    Impl& d = *this;
    SelfCheck c{.bits = bits,
                .scale = check.scale,
                .channel = check.channel,
                .low = check.low,
                .high = check.high,
                .reading = std::nullopt,
                .passed = false,
                .error = {}};
    Variant width(static_cast<int16_t>(bits));
    d.sawNewData = false;
    c.passed = d.exchange([&] { return ((*d.ctrl).*scaleTestMember(check.scale))(width); });
    if (c.passed || d.outcome() == Outcome::OutsideWindow)
        c.reading = d.sawNewData ? d.lastValue : std::nullopt;
    else
        d.throwIfExchangeFailed();
    if (!c.passed) c.error = d.ctrl->ErrorString();
    return c;
}

SelfCheck Board::check(int bits, Scale scale) {
    Impl& d = *impl_;
    d.use();
    const ReferenceCheck* reference = converterOf(bits).check(scale);
    if (!reference)
        throw std::invalid_argument("the " + std::to_string(bits) + "-bit converter has no " +
                                    scaleName(scale) + "-scale input");
    return d.guarded([&] { return d.referenceCheck(bits, *reference); }, true);
}

std::vector<SelfCheck> Board::selfTest() {
    std::vector<SelfCheck> all;
    for (const Converter& converter : converters()) {
        std::vector<SelfCheck> some = selfTest(converter.bits);
        all.insert(all.end(), std::make_move_iterator(some.begin()),
                   std::make_move_iterator(some.end()));
    }
    return all;
}

bool Board::resync() {
    Impl& d = *impl_;
    d.use();
    return d.guarded(
        [&] {
            if (d.exchange([&] { return d.ctrl->ADCReSynchronize(); })) return true;
            if (d.outcome() == Outcome::NothingToResync)
                throw std::logic_error(d.ctrl->ErrorString());
            if (d.outcome() == Outcome::OutsideWindow) return false;
            d.fail();
        },
        true);
}

void Board::pump(std::chrono::milliseconds timeout) {
    Impl& d = *impl_;
    d.use();
    const auto due = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (d.policy.enabled) {
            if (!d.isAway && d.gone()) d.goAway("the device hung up (" + d.device + ")");
            if (d.isAway && !d.comeBack(due, false)) return;
        }
        const auto left = due - std::chrono::steady_clock::now();
        if (left <= left.zero()) return;
        threadLoop().pumpOnce(std::chrono::ceil<std::chrono::milliseconds>(left));
    }
}

void Board::onDisconnected(DisconnectedFn fn) {
    impl_->disconnected = std::move(fn);
}

void Board::onReconnected(ReconnectedFn fn) {
    impl_->reconnected = std::move(fn);
}

bool Board::away() const {
    return impl_->isAway;
}

// Reconnecting.

void Board::Impl::setPolicy(const ReconnectPolicy& p) {
    policy = p;
    if (!policy.enabled) return;
    const std::string name = openedAs.empty() ? PortMap::instance().devicePath(port) : openedAs;
    waiter = std::make_unique<DeviceWaiter>(threadLoop(), stableDeviceName(name), policy);
    identity = deviceIdentity(waiter->device());
}

bool Board::Impl::gone() const {
    return ctrl && ctrl->PortIsOpen() && (ctrl->comm().HungUp() || !ctrl->comm().PortOpen());
}

void Board::Impl::goAway(const std::string& reason) {
    if (isAway) return;
    isAway = true;
    awaySince = std::chrono::steady_clock::now();
    try {
        if (ctrl->PortIsOpen()) ctrl->ClosePort();
    } catch (...) {
        // A device that has gone takes its close with it.
    }
    waiter->wentAway();
    if (disconnected) disconnected(reason);
}

void Board::Impl::reopen() {
    // Only the device that went away comes back: not another adapter under its name, nor what
    // a stale link leads to now.
    const DeviceIdentity now = deviceIdentity(waiter->device());
    refusal = notTheDeviceThatWentAway(waiter->device(), identity, now);
    if (!refusal.empty()) throw Error(err::PortOpenFailed, refusal);
    // By the stable name for a device path (another adapter under the old ttyUSB name is not
    // taken); by the COM number otherwise, whose entry names the stable path.
    std::unique_ptr<VantrelCtrl> fresh =
        makeCtrl(openedAs.empty() ? nullptr : fixedDevice(waiter->device()));
    fresh->Bauds(rate);
    if (!openedAs.empty()) {
        openDevice(*fresh);
        device = openedAs;
    } else {
        const std::lock_guard lock(openMutex());
        openPort(*fresh, port);
    }
    ctrl->disconnect(this);
    ctrl = std::move(fresh);
    ctrl->connect(this);
    unsettled = false;
    identity = now;
}

bool Board::Impl::comeBack(std::chrono::steady_clock::time_point deadline, bool orThrow) {
    while (true) {
        if (!waiter->wait(deadline)) {
            if (!orThrow) return false;
            const auto away =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - awaySince);
            throw Timeout("the board is away (" + waiter->device() + ") and did not come back; " +
                          std::to_string(static_cast<int>(away.count())) + " s away" +
                          (refusal.empty() ? "" : "; " + refusal));
        }
        try {
            reopen();
        } catch (const Error&) {
            waiter->openFailed();
            continue;
        }
        waiter->opened();
        isAway = false;
        const double after =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - awaySince).count();
        if (reconnected) reconnected(after);
        return true;
    }
}

template <class Op>
auto Board::Impl::guarded(Op op, bool again) -> decltype(op()) {
    if (!policy.enabled) return op();
    const auto deadline = std::chrono::steady_clock::now() + policy.callLimit;
    while (true) {
        if (!isAway && gone()) goAway("the device hung up (" + device + ")");
        if (isAway) comeBack(deadline, true);
        try {
            return op();
        } catch (const Error& e) {
            const bool departed =
                gone() || e.number() == err::PortNotOpen || e.number() == err::PortIo;
            if (!departed) throw;
            goAway(e.what());
            if (!again) throw;
        }
    }
}

void Board::onNewData(NewDataFn fn) {
    impl_->newData = std::move(fn);
}

void Board::onInterruptLow(InterruptFn fn) {
    impl_->low = std::move(fn);
}

void Board::onInterruptHigh(InterruptFn fn) {
    impl_->high = std::move(fn);
}

}  // namespace vantrel
