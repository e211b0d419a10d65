// vantrel serve: a board's transactions, and the clients taking turns on it.
#include "serve/daemon_impl.hpp"

namespace vantrel::serve {

// --- boards -------------------------------------------------------------------------------
void Daemon::Impl::openBoard(Board& b) {
    try {
        b.comm->Settings(std::to_string(b.setup.baud) + ",N,8,1");
        b.comm->PortOpen(true);
        b.open = true;
        b.lastError.clear();
        b.selection.known = false;
        b.unsettled = false;
    } catch (const std::exception& e) {
        b.open = false;
        b.lastError = e.what();
    }
}

std::string Daemon::Impl::awayText(const Board& b) const {
    return "the board " + b.setup.name + " is away" +
           (b.lastError.empty() ? std::string() : " (" + b.lastError + ")") +
           "; the daemon looks for it every second";
}

// A board away is, to its clients, a device that went away: each is told and closed, as a
// port of its own would hang up, and a new one is refused until the board is back.
void Daemon::Impl::boardGone(Board& b) {
    b.lastError = "the board went away: " + b.setup.device;
    b.comm->PortOpen(false);
    b.open = false;
    b.selection.known = false;  // it may come back having started anew
    loop.disarmTimer(b.timer);
    loop.disarmTimer(b.holdTimer);
    b.active.reset();
    b.reply.clear();
    b.restoring.clear();
    b.holder = 0;
    b.reserved = false;
    b.holdArmed = false;
    b.settling = false;
    b.unsettled = false;
    for (auto& [id, c] : clients)
        if (!c->dead && c->board == &b) refuse(*c, "board-away", awayText(b));
}

void Daemon::Impl::fail(const Request& r, std::string_view reason) {
    Client* c = find(r.client);
    if (c == nullptr) return;
    c->waiting -= 1;
    send(*c, {"failed", r.id, reason});
}

void Daemon::Impl::onBoardInput(Board& b) {
    if (b.comm->CommEvent() != comm::Receive) return;
    std::string bytes = b.comm->Input();
    if (b.settling) {
        // A late reply is nobody's: dropped up to its prompt, interrupt lines aside.
        const std::size_t prompt = bytes.find('>');
        const std::size_t taken = prompt == std::string::npos ? bytes.size() : prompt + 1;
        b.settleHeard = b.settleHeard || taken > 0;
        if (b.settled.size() < kMaxReply) b.settled.append(bytes, 0, taken);
        bytes.erase(0, taken);
        if (prompt != std::string::npos) endSettle(b);
    }
    if (b.active) {
        // A reply that does not fit a frame ends the transaction without its bytes.
        const std::size_t prompt = bytes.find('>');
        const std::size_t taken = prompt == std::string::npos ? bytes.size() : prompt + 1;
        if (b.reply.size() + taken > kMaxReply) {
            b.reply.clear();
            finish(b, "failed", "too-long");
        } else {
            b.reply.append(bytes, 0, taken);
            if (prompt == std::string::npos) return;
            finish(b, "reply", {});
        }
        bytes.erase(0, taken);
    }
    if (!bytes.empty()) takeStray(b, bytes);
}

// The board's text between transactions: its interrupt lines go to every client, the rest
// is nobody's (the end of a reply that came too late, noise) and is dropped. Passed on, a
// client waiting for its own reply would read it as part of that reply, and a late
// reply's prompt would end that client's wait with someone else's answer.
void Daemon::Impl::takeStray(Board& b, std::string_view bytes) {
    b.stray.append(bytes);
    const std::size_t end = b.stray.find_last_of("\n>");
    if (end == std::string::npos) {
        if (b.stray.size() > kMaxReply) b.stray.clear();
        return;
    }
    shareInterrupts(b, std::string_view(b.stray).substr(0, end + 1), 0);
    b.stray.erase(0, end + 1);
}

// The interrupt lines ("L", "H") within bytes that are one client's reply, or nobody's,
// go to every other client of the board as well.
void Daemon::Impl::shareInterrupts(Board& b, std::string_view bytes, uint64_t except) {
    std::size_t start = 0;
    while (start < bytes.size()) {
        const std::size_t end = std::min(bytes.find_first_of("\r\n", start), bytes.size());
        const std::string_view line = bytes.substr(start, end - start);
        if (line == "L" || line == "H") broadcast(b, std::string(line) + "\r\n", except);
        start = end + 1;
    }
}

void Daemon::Impl::startSettle(Board& b) {
    b.unsettled = false;
    b.settling = true;
    b.settleWindows = 0;
    b.settleHeard = false;
    b.settled.clear();
    b.comm->deliverPending();
    if (b.settling) loop.armTimer(b.timer, Clock::now() + b.window, std::chrono::nanoseconds(0));
}

void Daemon::Impl::endSettle(Board& b) {
    loop.disarmTimer(b.timer);
    b.settling = false;
    shareInterrupts(b, b.settled, 0);
    b.settled.clear();
}

void Daemon::Impl::onBoardTimer(Board& b) {
    if (b.active) return finish(b, "failed", "timeout");
    if (!b.settling) return;
    // A window without a byte: the line is quiet. Bytes without an end: one more window.
    if (b.settleHeard && ++b.settleWindows < kSettleWindows) {
        b.settleHeard = false;
        loop.armTimer(b.timer, Clock::now() + b.window, std::chrono::nanoseconds(0));
        return;
    }
    endSettle(b);
    next(b);
}

// Ends the running transaction with a reply (or a failure with what arrived) for its
// client, if still there, and starts the next.
void Daemon::Impl::finish(Board& b, std::string_view verb, std::string_view reason) {
    loop.disarmTimer(b.timer);
    Request r = std::move(*b.active);
    b.active.reset();
    Client* c = find(r.client);
    const bool done = verb == "reply" && carriedOut(b.reply);
    if (done) {
        b.selection.follow(r.bytes);
        if (c != nullptr) c->selection.follow(r.bytes);
    } else if (verb != "reply") {
        b.selection.known = false;  // carried out or not, nobody knows
    }
    if (reason == "timeout") b.unsettled = true;
    if (r.client == 0) {
        shareInterrupts(b, b.reply, 0);
        b.reply.clear();
        if (!done) restoreFailed(b, verb == "reply" ? "refused" : reason);
        return next(b);
    }
    shareInterrupts(b, b.reply, r.client);
    b.lastClient = r.client;
    b.transactions += 1;
    total += 1;
    if (verb != "reply") b.failures += 1;
    if (c != nullptr) {
        c->waiting -= 1;
        if (reason.empty())
            send(*c, {verb, r.id}, b.reply);
        else
            send(*c, {verb, r.id, reason}, b.reply);
    }
    b.reply.clear();
    keepOrRelease(b);
    next(b);
}

// Putting back the holder's selection failed: its command fails rather than run on a
// board in another client's state, and so does the rest of its operation.
void Daemon::Impl::restoreFailed(Board& b, std::string_view why) {
    b.lastError = "putting back a client's selection failed (" + std::string(why) + ")";
    b.restoring.clear();
    Client* c = find(b.holder);
    release(b);
    if (c == nullptr || c->queue.empty()) return;
    Request r = std::move(c->queue.front());
    c->queue.pop_front();
    b.queued -= 1;
    if (r.op != 0) c->brokenOp = r.op;
    fail(r, "restore-failed");
    addTurn(*c);
}

// --- taking turns -------------------------------------------------------------------------
void Daemon::Impl::addTurn(Client& c) {
    if (c.dead || c.inTurns || c.queue.empty() || c.board == nullptr) return;
    if (c.board->holder == c.id) return;
    (c.own ? c.board->ownTurns : c.board->turns).push_back(c.id);
    c.inTurns = true;
}

Daemon::Impl::Client* Daemon::Impl::takeTurn(std::deque<uint64_t>& turns) {
    while (!turns.empty()) {
        Client* c = find(turns.front());
        turns.pop_front();
        if (c == nullptr) continue;
        c->inTurns = false;
        if (!c->queue.empty()) return c;
    }
    return nullptr;
}

Daemon::Impl::Client* Daemon::Impl::nextInTurn(Board& b) {
    Client* c = b.ownTurn ? takeTurn(b.ownTurns) : nullptr;
    if (c == nullptr) c = takeTurn(b.turns);
    if (c == nullptr) c = takeTurn(b.ownTurns);
    if (c != nullptr) b.ownTurn = !c->own;
    return c;
}

void Daemon::Impl::release(Board& b) {
    Client* c = find(b.holder);
    b.holder = 0;
    b.heldOp = 0;
    b.reserved = false;
    loop.disarmTimer(b.holdTimer);
    b.holdArmed = false;
    if (c != nullptr) addTurn(*c);
}

// The holder keeps the board while its operation goes on: begun and not ended, or with a
// command of it still waiting.
void Daemon::Impl::keepOrRelease(Board& b) {
    if (b.holder == 0 || b.reserved) return;
    const Client* c = find(b.holder);
    const bool goesOn =
        c != nullptr && b.heldOp != 0 &&
        ((c->inOp && c->op == b.heldOp) || (!c->queue.empty() && c->queue.front().op == b.heldOp));
    if (!goesOn) release(b);
}

void Daemon::Impl::onHoldTimer(Board& b) {
    b.holdArmed = false;
    Client* c = find(b.holder);
    if (c != nullptr && c->queue.empty() && c->inOp && c->op == b.heldOp) c->brokenOp = b.heldOp;
    release(b);
    next(b);
}

bool Daemon::Impl::needsRestore(const Board& b, const Client& c, const Request& r) const {
    return !r.restored && c.selection.known && b.lastClient != 0 && b.lastClient != c.id &&
           !(b.selection == c.selection) && !writesAddress(r.bytes);
}

void Daemon::Impl::next(Board& b) {
    while (!b.active && b.open && !b.settling) {
        if (b.unsettled) {
            startSettle(b);
            continue;
        }
        if (!b.restoring.empty()) {
            Request line = std::move(b.restoring.front());
            b.restoring.pop_front();
            if (!run(b, std::move(line))) return;
            continue;
        }
        Client* c = nullptr;
        if (b.holder != 0) {
            c = find(b.holder);
            if (c == nullptr) {
                release(b);
                continue;
            }
            if (c->queue.empty()) {
                // The operation goes on with a command not sent yet: wait for it, bounded.
                if (!b.holdArmed)
                    loop.armTimer(b.holdTimer, Clock::now() + b.window + options.holdMargin,
                                  std::chrono::nanoseconds(0));
                b.holdArmed = true;
                return;
            }
        } else {
            c = nextInTurn(b);
            if (c == nullptr) return;
        }
        loop.disarmTimer(b.holdTimer);
        b.holdArmed = false;
        Request r = std::move(c->queue.front());
        c->queue.pop_front();
        b.queued -= 1;
        const bool continues = b.holder == c->id && !b.reserved;
        if (continues && r.op == b.heldOp && ++b.heldCommands > kMostInOperation)
            c->brokenOp = r.op;
        if (r.op != 0 && r.op == c->brokenOp) {
            fail(r, "released");
            if (b.holder == c->id && b.heldOp == r.op) release(b);
            addTurn(*c);
            continue;
        }
        if (!continues && needsRestore(b, *c, r)) {
            // Another client's commands have moved the board: this client's selection
            // goes back first, as its control counts on it, and nobody comes in between.
            r.restored = true;
            c->queue.push_front(std::move(r));
            b.queued += 1;
            b.holder = c->id;
            b.reserved = true;
            for (std::string& line : c->selection.restore())
                b.restoring.push_back(Request{0, "-", std::move(line)});
            b.restores += b.restoring.size();
            continue;
        }
        b.reserved = false;
        const uint64_t op = r.op;
        const uint64_t id = c->id;
        if (!run(b, std::move(r))) return;
        if (op == 0) {
            if (b.holder == id) release(b);  // held only for this command's restore
        } else if (!continues) {
            b.holder = id;
            b.heldOp = op;
            b.heldCommands = 1;
        }
        if (b.holder != id) addTurn(*c);
    }
}

// Starts one transaction; false when the board has gone meanwhile.
bool Daemon::Impl::run(Board& b, Request r) {
    // What the board sent since the last transaction is its own text, not this reply.
    b.comm->deliverPending();
    if (!b.open) return false;
    try {
        b.comm->Output(r.bytes);
    } catch (const std::exception& e) {
        b.lastError = e.what();
        fail(r, "board-gone");
        boardGone(b);
        return false;
    }
    if (Client* c = find(r.client)) send(*c, {"started", r.id});
    b.active = std::move(r);
    loop.armTimer(b.timer, Clock::now() + b.window, std::chrono::nanoseconds(0));
    return true;
}

void Daemon::Impl::broadcast(Board& b, std::string_view bytes, uint64_t except) {
    scratch.clear();
    appendFrame(scratch, {"event"}, bytes);
    for (auto& [id, c] : clients)
        if (!c->dead && c->board == &b && c->greeted && id != except) queueOut(*c, scratch);
}

}  // namespace vantrel::serve
