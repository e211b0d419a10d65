// vantrel recorder: one board's thread.
#include "board_worker.hpp"

#include <sys/epoll.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <map>
#include <set>
#include <stdexcept>
#include <vector>

#include "alarms.hpp"
#include "pacing.hpp"
#include "vantrel/board.hpp"
#include "vantrel/platform.hpp"
#include "vantrel/reconnect.hpp"

namespace vantrel::acquire {

namespace {

using Clock = std::chrono::steady_clock;

// Seconds in a record's text, to the millisecond: "0.514".
std::string secondsText(double seconds) {
    return numberText(std::round(seconds * 1000) / 1000);
}

// An error that means the board's port is no longer usable.
bool portGone(const Error& e) {
    return e.number() == err::PortNotOpen || e.number() == err::PortIo;
}

struct Group {
    Pacer pacer;
    std::vector<const ChannelConfig*> channels;
};

}  // namespace

BoardWorker::BoardWorker(BoardConfig config, Clock::time_point t0,
                         std::optional<Clock::time_point> end, Sink sink, Notice notice)
    : config_(std::move(config)),
      t0_(t0),
      end_(end),
      sink_(std::move(sink)),
      notice_(std::move(notice)) {
    wake_.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wake_) throw std::runtime_error(sysMessage("eventfd", "", errno));
    status_.name = config_.name;
    status_.device = config_.port             ? "COM" + std::to_string(*config_.port)
                     : config_.origin.empty() ? config_.device
                                              : config_.origin;
    thread_ = std::thread([this] {
        try {
            run();
        } catch (const std::exception& e) {
            // The thread's loop itself failed: nothing more can be read from this board.
            const std::lock_guard lock(mutex_);
            status_.state = "failed";
            status_.lastError = e.what();
        }
        started_ = true;
        finished_ = true;
    });
}

BoardWorker::~BoardWorker() {
    stop();
}

void BoardWorker::requestStop() {
    stop_ = true;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_.get(), &one, sizeof one);
}

void BoardWorker::stop() {
    requestStop();
    if (thread_.joinable()) thread_.join();
}

BoardStatus BoardWorker::status() const {
    const std::lock_guard lock(mutex_);
    return status_;
}

void BoardWorker::run() {
    EventLoop& loop = threadLoop();
    WatchHandle wakeWatch = loop.watch(wake_.get(), EPOLLIN, [this](uint32_t) {
        uint64_t count;
        [[maybe_unused]] const ssize_t n = ::read(wake_.get(), &count, sizeof count);
    });
    bool due = false;
    struct TimerGuard {
        EventLoop& loop;
        uint64_t id;
        ~TimerGuard() { loop.removeTimer(id); }
    } timer{loop, loop.addTimer([&due] { due = true; })};

    // One group a period: channels that share a period are read one after the other in each
    // of its rounds, in the order the configuration gives them.
    std::map<int64_t, Group> byPeriod;
    for (const ChannelConfig& c : config_.channels) {
        const auto period =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(c.period));
        auto it = byPeriod.find(period.count());
        if (it == byPeriod.end())
            it = byPeriod.emplace(period.count(), Group{Pacer(t0_, period), {}}).first;
        it->second.channels.push_back(&c);
    }
    std::vector<Group> groups;
    for (auto& [period, g] : byPeriod) groups.push_back(std::move(g));
    if (groups.empty()) {
        started_ = true;
        return;
    }

    std::optional<Board> board;
    bool away = false;
    bool everOpen = false;

    // Every record goes out followed by the alarms it raises or clears.
    AlarmWatch alarms(config_);
    std::vector<Record> changes;
    const auto alarmDue = [&]() -> std::optional<Clock::time_point> {
        const std::optional<double> at = alarms.due();
        if (!at) return std::nullopt;
        return t0_ +
               std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(*at));
    };
    const auto checkAlarms = [&] {
        const std::optional<Clock::time_point> at = alarmDue();
        if (!at || Clock::now() < *at) return;
        changes.clear();
        alarms.tick(*alarms.due(), changes);
        for (Record& c : changes) sink_(std::move(c));
    };

    const auto update = [this](auto&& change) {
        const std::lock_guard lock(mutex_);
        change(status_);
    };
    const auto record = [&](const ChannelConfig& c, Status st, std::string text) {
        Record r;
        r.time = std::chrono::system_clock::now();
        // The first open comes before the run's start (t0 lies a little ahead): a gap found
        // then is at the start, not before it.
        r.mono = std::max(0.0, std::chrono::duration<double>(Clock::now() - t0_).count());
        r.board = config_.name;
        r.bits = c.bits;
        r.channel = c.channel;
        r.name = c.name;
        r.unit = c.unit;
        r.status = st;
        r.text = std::move(text);
        return r;
    };
    // A record leaves for the outputs, counted in the status, and followed by the alarms it
    // raises or clears: only readings kept count for the alarms.
    const auto deliver = [&](Record r) {
        if (r.status != Status::Gap)
            update([&](BoardStatus& s) {
                if (r.status == Status::Ok) {
                    ++s.readings;
                    s.lastTime = r.time;
                    s.lastChannel = r.name;
                    s.lastValue = r.value;
                } else {
                    ++s.errors;
                    s.lastError = r.text;
                }
            });
        changes.clear();
        alarms.take(r, changes);
        sink_(std::move(r));
        for (Record& c : changes) sink_(std::move(c));
    };
    // A converter can fall out of step with the board (a lost clock edge) and then gives words
    // that look like readings but are not; only its reference input shows it. So readings wait
    // for the next check of their converter and are kept only when it passes. The records
    // behind them wait too, so that the outputs get every record in the order it was made.
    const auto checkEvery =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(config_.check));
    std::vector<Record> held;
    Clock::time_point nextCheck = t0_ + checkEvery;
    // Every held record leaves; the readings of a width in `untrusted` as errors with its text.
    const auto release = [&](const std::map<int, std::string>& untrusted) {
        std::vector<Record> out;
        out.swap(held);
        for (Record& r : out) {
            if (const auto it = untrusted.find(r.bits);
                r.status == Status::Ok && it != untrusted.end()) {
                r.status = Status::Error;
                r.value.reset();
                r.min.reset();
                r.max.reset();
                r.text = it->second;
            }
            deliver(std::move(r));
        }
    };
    const auto releaseUnchecked = [&](const std::string& why) {
        std::map<int, std::string> untrusted;
        for (const Record& r : held) untrusted.emplace(r.bits, why);
        release(untrusted);
    };
    const auto emit = [&](Record r) {
        if (checkEvery > Clock::duration::zero() && (!held.empty() || r.status == Status::Ok))
            held.push_back(std::move(r));
        else
            deliver(std::move(r));
    };
    // The board is gone (unplugged, switched off, never there): one gap record per channel
    // marks where its readings stop.
    const auto markAway = [&](const std::string& why) {
        update([&](BoardStatus& s) {
            s.state = "away";
            s.lastError = why;
            if (!away) ++s.gaps;
        });
        if (away) return;
        away = true;
        if (notice_) notice_(everOpen ? BoardEvent::Away : BoardEvent::CannotOpen, why);
        releaseUnchecked("not kept: the board went away before its converter was checked");
        for (const ChannelConfig& c : config_.channels) deliver(record(c, Status::Gap, why));
    };
    // The board is there (again), behind a new control that has written no address yet.
    const auto markBack = [&] {
        const bool back = away;
        away = false;
        if (back && notice_) notice_(BoardEvent::Back, {});
        update([&](BoardStatus& s) {
            s.state = "recording";
            if (back && everOpen) ++s.reconnects;
        });
        everOpen = true;
    };
    const auto goAway = [&](const std::string& why) {
        board.reset();
        markAway(why);
    };
    // Without a reconnect policy of the board's own, the recorder opens the board again itself,
    // once a round while it is away.
    // Only the device that went away is taken back: not another adapter under its name, nor
    // what a stale link leads to now.
    std::optional<DeviceIdentity> identity;
    const std::string stableName = config_.port ? std::string() : stableDeviceName(config_.device);
    const auto open = [&] {
        const DeviceIdentity now = deviceIdentity(stableName);
        if (identity) {
            const std::string why = notTheDeviceThatWentAway(stableName, *identity, now);
            if (!why.empty()) {
                goAway(why);
                return;
            }
        }
        try {
            board.emplace(config_.port ? Board(*config_.port, config_.baud)
                                       : Board(config_.device, config_.baud));
        } catch (const std::exception& e) {
            goAway(e.what());
            return;
        }
        identity = now;
        markBack();
    };

    // A conversion's commands (at most five: the converters' set-up, the address, the start
    // and the two bytes), each answered within its reply window at the line's rate, take at
    // most this long. One that took longer waited somewhere (behind another client of a
    // shared board, for a board that came back): when the board converted is not known, and
    // the reading's time would be wrong by that wait.
    const auto longestConversion =
        std::chrono::duration<double>(5 * 2.5 / std::max<int32_t>(config_.baud, 1) * 1000);
    // An averaged reading is its channel's conversions one after the other, and fails whole
    // when one of them does: a mean of fewer would pass for one of all. Its time is when the
    // first began.
    const auto readChannel = [&](const ChannelConfig& c) {
        Record r = record(c, Status::Ok, {});
        try {
            double sum = 0;
            std::optional<double> low, high;
            for (int i = 0; i < c.average; ++i) {
                // A stop leaves the reading out rather than wait for a long average's end.
                if (i > 0 && stop_) return;
                const auto began = Clock::now();
                const double raw = board->read(c.bits, c.channel);
                const std::chrono::duration<double> took = Clock::now() - began;
                if (took > longestConversion)
                    throw std::runtime_error(
                        "not kept: a conversion took " + secondsText(took.count()) +
                        " s, longer than its commands take at " + std::to_string(config_.baud) +
                        " baud (" + secondsText(longestConversion.count()) +
                        " s): when the board converted is not known");
                sum += raw;
                if (c.average == 1) continue;
                // Through the calibration one by one: the smallest raw is the largest value
                // under a negative gain, and neither need be an extreme under a polynomial.
                const double value = c.calibration(raw);
                low = std::min(low.value_or(value), value);
                high = std::max(high.value_or(value), value);
            }
            r.raw = sum / c.average;
            r.value = c.calibration(*r.raw);
            r.min = low;
            r.max = high;
        } catch (const BoardError& e) {
            r.status = Status::Error;
            r.text = e.boardText().empty() ? e.what() : e.boardText();
        } catch (const Error& e) {
            if (portGone(e)) {
                goAway(e.what());
                return;
            }
            r.status = Status::Error;
            r.text = e.what();
        } catch (const std::exception& e) {
            r.status = Status::Error;
            r.text = e.what();
        }
        emit(std::move(r));
    };

    // Each width read since the last check, on its half-scale reference; converters that fail
    // are brought back into step for the readings to come. All are checked before any is
    // brought back: the set-up command restarts every converter's interface, and would hide
    // that another had been out of step too.
    const auto checkConverters = [&] {
        std::set<int> widths;
        for (const Record& r : held)
            if (r.status == Status::Ok) widths.insert(r.bits);
        std::map<int, std::string> untrusted;
        const auto attempt = [&](int bits, auto&& step) {
            const std::string converter = "the " + std::to_string(bits) + "-bit converter";
            try {
                step(converter);
            } catch (const Error& e) {
                if (portGone(e)) {
                    // The round's deadlines have their readings already: the gap that says the
                    // board went away comes with the next round, which finds it gone.
                    releaseUnchecked("not kept: the board went away before " + converter +
                                     " was checked: " + e.what());
                    board.reset();
                    return;
                }
                untrusted[bits] = "not kept: " + converter + " could not be checked: " + e.what();
            } catch (const std::exception& e) {
                untrusted[bits] = "not kept: " + converter + " could not be checked: " + e.what();
            }
        };
        std::vector<int> slipped;
        for (const int bits : widths) {
            if (!board) return;
            attempt(bits, [&](const std::string& converter) {
                const SelfCheck c = board->check(bits, Scale::Half);
                if (c.passed) return;
                slipped.push_back(bits);
                untrusted[bits] = "not kept: " + converter + " failed its half-scale check (" +
                                  c.error + "), out of step";
            });
        }
        for (const int bits : slipped) {
            if (!board) return;
            // The resynchronisation acts on the converter used last: this one.
            attempt(bits, [&](const std::string&) {
                const bool back = board->check(bits, Scale::Half).passed || board->resync();
                untrusted[bits] += back ? "; brought back into step" : " and still is";
            });
        }
        release(untrusted);
    };
    const auto checkIfDue = [&] {
        if (held.empty() || !board || Clock::now() < nextCheck) return;
        checkConverters();
        nextCheck = Clock::now() + checkEvery;
    };

    open();
    started_ = true;
    while (!stop_) {
        const auto next =
            std::min_element(groups.begin(), groups.end(), [](const Group& a, const Group& b) {
                return a.pacer.due() < b.pacer.due();
            })->pacer.due();
        // An away alarm may fall due between rounds (a board read once a minute, away for 10 s),
        // and after the last round of a run that lasts beyond it.
        const std::optional<Clock::time_point> alarmAt = alarmDue();
        const bool roundsOver = end_ && next >= *end_;
        if (roundsOver && !(alarmAt && *alarmAt < *end_)) break;
        const auto wake = alarmAt ? (roundsOver ? *alarmAt : std::min(next, *alarmAt)) : next;
        if (Clock::now() < wake) {
            due = false;
            loop.armTimer(timer.id, wake, Clock::duration::zero());
            while (!due && !stop_) loop.pumpOnce();
            loop.disarmTimer(timer.id);
            if (stop_) break;
        }
        checkAlarms();
        if (roundsOver || Clock::now() < next) continue;
        for (Group& g : groups) {
            if (stop_ || g.pacer.due() > Clock::now() || (end_ && g.pacer.due() >= *end_)) continue;
            // An away board is looked for once a round of its fastest group.
            if (!board) open();
            // A round that could start only a period or more after its deadline (the board
            // took that long to open again) is the last deadline's: read at that one's time and
            // counted with it, the ones between get a gap, and no deadline has two records.
            const auto wasDue = g.pacer.due();
            if (const uint64_t left = board ? g.pacer.catchUp(Clock::now(), end_) : 0) {
                const double late = std::chrono::duration<double>(Clock::now() - wasDue).count();
                const std::string why = std::to_string(left) + std::string(kDeadlinesLeftOut) +
                                        "the round started " + secondsText(late) +
                                        " s after its deadline";
                // At the first deadline it stands for: from there on, no reading till this one.
                const auto since = Clock::now() - wasDue;
                for (const ChannelConfig* c : g.channels) {
                    Record gap = record(*c, Status::Gap, why);
                    gap.time -=
                        std::chrono::duration_cast<std::chrono::system_clock::duration>(since);
                    gap.mono = std::max(0.0, std::chrono::duration<double>(wasDue - t0_).count());
                    emit(std::move(gap));
                }
            }
            for (const ChannelConfig* c : g.channels) {
                if (!board || stop_) break;
                readChannel(*c);
            }
            const auto began = g.pacer.due();
            const uint64_t round = g.pacer.round();
            if (g.pacer.finish(Clock::now())) {
                update([&](BoardStatus& s) {
                    s.overruns = 0;
                    s.skipped = 0;
                    for (const Group& each : groups) {
                        s.overruns += each.pacer.overruns();
                        s.skipped += each.pacer.skipped();
                    }
                });
                // Every deadline has its record: those the overrun left out get a gap (an away
                // board's gap stands for them already). Deadlines at or after the run's end are
                // not counted: no round would have been due.
                uint64_t resumed = g.pacer.round();
                if (end_) {
                    const auto period = g.pacer.period();
                    const auto firstAtEnd = (*end_ - t0_ + period - Clock::duration(1)) / period;
                    resumed =
                        std::min(resumed, static_cast<uint64_t>(std::max<int64_t>(firstAtEnd, 0)));
                }
                if (board && resumed > round + 1) {
                    const double took = std::chrono::duration<double>(Clock::now() - began).count();
                    const std::string why =
                        std::to_string(resumed - round - 1) + std::string(kDeadlinesLeftOut) +
                        "the round took " + secondsText(took) + " s of its " +
                        numberText(std::chrono::duration<double>(g.pacer.period()).count()) +
                        " s period";
                    for (const ChannelConfig* c : g.channels) emit(record(*c, Status::Gap, why));
                }
            }
            checkIfDue();
        }
    }
    // The last readings are kept only once their converters are checked too.
    if (board && !held.empty()) checkConverters();
    releaseUnchecked("not kept: the run ended before its converter was checked");
    board.reset();
    update([](BoardStatus& s) { s.state = "stopped"; });
}

}  // namespace vantrel::acquire
