// vantrel serve: the daemon's core. One loop; each board a serial component on it, each client
// a socket on it. Nothing waits but the loop.
#include "daemon.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <deque>
#include <exception>
#include <future>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>

#include "transport/link.hpp"
#include "transport/net_serial.hpp"
#include "transport/serve_protocol.hpp"
#include "vantrel/error.hpp"
#include "vantrel/serial_comm.hpp"

namespace vantrel::serve {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds kSweep{1};
// The most reply windows a late reply may take to end before the line counts as quiet.
constexpr int kSettleWindows = 4;
// The most commands one operation holds the board for: a client streaming commands inside
// one operation does not keep the others out for ever.
constexpr int kMostInOperation = 64;
// TCP connections whose wrong token waits for its answer at once.
constexpr std::size_t kMostPenalized = 16;
// Clients listed in a status.
constexpr std::size_t kStatusClients = 200;

bool sameToken(std::string_view a, std::string_view b) {
    // Compares every byte whatever the first difference, so that the time taken says nothing.
    unsigned diff = a.size() == b.size() ? 0u : 1u;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |=
            static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(i < b.size() ? b[i] : 0);
    return diff == 0;
}

// What the board's converters hold between commands, as a control counts on it: the address
// written last, whether the "PRS" after it is still to start that address's conversion, and
// which byte of a word an "@" gives next. The board has one of these for all its clients; each
// client counts on its own (a control remembers the address it wrote and skips writing it
// again), so the daemon keeps one per client and puts the board back into a client's before
// that client's command when another client's commands have changed it.
struct Selection {
    int address = 0;     // a board that has just started: address 0
    bool dummy = false;  // the next "PRS" only starts the conversion
    int next = 0;        // 0: an "@" gives the high byte; 1: the low byte
    bool known = true;   // false: a command whose outcome is not known changed it

    bool operator==(const Selection& o) const {
        return known && o.known && address == o.address && dummy == o.dummy && next == o.next;
    }

    // Follows a command the board carried out (its reply has no "?").
    void follow(std::string_view line) {
        std::string text;
        for (const char c : line)
            if (c != '\r' && c != '\n') text.push_back(c);
        if (text.rfind("PWS", 0) == 0) {
            const auto n = parseUnsigned(std::string_view(text).substr(3));
            if (!n || *n > 255 || text.size() > 6) return;
            *this = Selection{static_cast<int>(*n), true, 0, true};
        } else if (text == "PRS") {
            next = dummy ? 0 : 1;
            dummy = false;
        } else if (text == "@") {
            next ^= 1;
        } else if (text == "PCSA128") {
            dummy = false;
            next = 0;
        }
    }

    // The command lines that bring a board into this selection from any other.
    std::vector<std::string> restore() const {
        std::vector<std::string> lines{"PWS" + std::to_string(address) + "\r"};
        if (!dummy) lines.emplace_back("PRS\r");
        if (next == 1) lines.emplace_back("@");
        return lines;
    }
};

// An address write sets the whole selection anew: nothing to put back before it.
bool writesAddress(std::string_view line) {
    while (!line.empty() && line.front() == '\n') line.remove_prefix(1);
    return line.rfind("PWS", 0) == 0;
}

bool carriedOut(std::string_view reply) {
    return reply.find('?') == std::string_view::npos && reply.find("OK") != std::string_view::npos;
}

Fd unixListener(const std::string& path, const std::string& groupName) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        throw Error(err::PortOpenFailed, path + ": the socket's path is too long");
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const std::size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        const std::string dir = path.substr(0, slash);
        if (::mkdir(dir.c_str(), 0750) != 0 && errno != EEXIST)
            throw Error(err::PortOpenFailed, sysMessage("mkdir", dir, errno));
    }
    // A socket left by a daemon that ended without removing it is replaced; one that answers
    // belongs to a daemon still running.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
        Fd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (probe &&
            ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0)
            throw Error(err::PortOpenFailed, path + ": another vantrel serve is listening there");
        ::unlink(path.c_str());
    }
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) throw Error(err::PortOpenFailed, sysMessage("socket", path, errno));
    const mode_t old = ::umask(0117);
    const int rc = ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    const int bindErrno = errno;
    ::umask(old);
    if (rc != 0) throw Error(err::PortOpenFailed, sysMessage("bind", path, bindErrno));
    ::chmod(path.c_str(), 0660);
    if (!groupName.empty()) {
        if (const struct group* g = ::getgrnam(groupName.c_str())) {
            // Only a daemon that may give the socket to the group does; others keep their own.
            (void)!::chown(path.c_str(), static_cast<uid_t>(-1), g->gr_gid);
        }
    }
    if (::listen(fd.get(), SOMAXCONN) != 0)
        throw Error(err::PortOpenFailed, sysMessage("listen", path, errno));
    return fd;
}

bool isLoopback(const sockaddr_storage& a) {
    if (a.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&a);
        return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
    }
    if (a.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&a);
        return IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr);
    }
    return false;
}

Fd tcpListener(const std::string& listen, bool allowRemote, uint16_t& boundPort) {
    const std::size_t colon = listen.rfind(':');
    if (colon == std::string::npos)
        throw Error(err::PortOpenFailed, "--listen " + listen + ": expected HOST:PORT");
    std::string host = listen.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    const auto port = parseUnsigned(listen.substr(colon + 1));
    if (host.empty() || !port || *port > 65535)
        throw Error(err::PortOpenFailed,
                    "--listen " + listen + ": expected HOST:PORT with a port of 0 to 65535");
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_PASSIVE;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), std::to_string(*port).c_str(), &hints, &found);
    AddrInfoList list(found);
    if (rc != 0) throw Error(err::PortOpenFailed, "resolve " + host + ": " + ::gai_strerror(rc));
    sockaddr_storage addr{};
    std::memcpy(&addr, found->ai_addr, std::min<std::size_t>(found->ai_addrlen, sizeof addr));
    if (!allowRemote && !isLoopback(addr))
        throw Error(err::PortOpenFailed,
                    "--listen " + listen +
                        ": not a loopback address (give --allow-remote to listen there)");
    Fd fd(::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) throw Error(err::PortOpenFailed, sysMessage("socket", listen, errno));
    const int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd.get(), found->ai_addr, found->ai_addrlen) != 0)
        throw Error(err::PortOpenFailed, sysMessage("bind", listen, errno));
    if (::listen(fd.get(), SOMAXCONN) != 0)
        throw Error(err::PortOpenFailed, sysMessage("listen", listen, errno));
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &len);
    boundPort =
        ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port
                                          : reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
    return fd;
}

}  // namespace

struct Daemon::Impl {
    struct Request {
        uint64_t client = 0;  // 0: the daemon's own, putting back a client's selection
        std::string id;
        std::string bytes;
        uint64_t op = 0;        // the client's operation it belongs to; 0: a command of its own
        bool restored = false;  // its client's selection has been put back for it
    };

    struct Board {
        BoardSetup setup;
        std::unique_ptr<SerialComm> comm;
        std::optional<Request> active;
        std::string reply;
        uint64_t timer = 0;
        Clock::duration window{};
        uint64_t transactions = 0;
        uint64_t failures = 0;
        uint64_t restores = 0;                    // commands of the daemon's own
        Selection selection{0, false, 0, false};  // the board's, as far as it is known
        uint64_t lastClient = 0;                  // whose command ran last
        bool open = false;
        std::string lastError;

        // Clients with commands waiting take turns, one operation each; the daemon's own
        // recording has a turn of its own between any two of the others'.
        std::deque<uint64_t> turns;
        std::deque<uint64_t> ownTurns;
        bool ownTurn = true;
        std::size_t queued = 0;  // commands waiting, all clients'

        // The client whose operation runs: nobody else's command starts until it ends, or
        // until it has sent nothing for the hold time. `reserved`: held for the one command
        // whose selection was just put back.
        uint64_t holder = 0;
        uint64_t heldOp = 0;
        int heldCommands = 0;
        bool reserved = false;
        uint64_t holdTimer = 0;
        bool holdArmed = false;         // counts from the end of the operation's last command
        std::deque<Request> restoring;  // the lines putting back the holder's selection

        // After a command timed out, its reply may still come: nothing starts until it has
        // ended or the line has been quiet for a window (at most kSettleWindows).
        bool unsettled = false;
        bool settling = false;
        int settleWindows = 0;
        bool settleHeard = false;
        std::string settled;  // what came while settling
        uint64_t ended = 0;   // transactions ended, the daemon's own included
        // The board's text between transactions, up to its next line end or prompt.
        std::string stray;
    };

    struct Client {
        uint64_t id = 0;
        Fd fd;
        WatchHandle watch;
        FrameReader reader{kMaxCommand};
        std::string out;
        std::size_t outPos = 0;
        bool watchingOut = false;
        bool tcp = false;
        bool greeted = false;
        bool dead = false;
        bool own = false;  // the daemon's own recording
        Board* board = nullptr;
        std::string peer;
        pid_t pid = 0;
        Clock::time_point since;
        bool partial = false;  // part of a frame has come, since partialSince
        Clock::time_point partialSince;
        std::optional<Clock::time_point> penaltyUntil;  // a wrong token, answered then
        std::deque<Request> queue;
        bool inTurns = false;
        std::size_t waiting = 0;  // commands queued or running
        uint64_t commands = 0;
        uint64_t op = 0;  // operations begun
        bool inOp = false;
        uint64_t brokenOp = 0;  // an operation whose hold ran out: its commands fail
        // What this client's commands have left the board in; unknown until it writes an
        // address of its own, and then nothing is put back for it.
        Selection selection{0, false, 0, false};
    };

    EventLoop& loop;
    DaemonOptions options;
    std::vector<std::unique_ptr<Board>> boards;
    std::map<uint64_t, std::unique_ptr<Client>> clients;
    uint64_t nextClient = 0;
    std::size_t live = 0;  // clients not dead
    int handling = 0;      // handlers running (see handle)
    std::size_t penalized = 0;
    Fd unixSock;
    Fd tcpSock;
    WatchHandle unixWatch;
    WatchHandle tcpWatch;
    bool listenersPaused = false;
    uint16_t tcpPortBound = 0;
    uint64_t sweepTimer = 0;
    uint64_t total = 0;
    std::string scratch;
    const pid_t self = ::getpid();

    Impl(EventLoop& l, DaemonOptions o) : loop(l), options(std::move(o)) {}

    ~Impl() {
        unixWatch.reset();
        tcpWatch.reset();
        clients.clear();
        for (auto& b : boards) {
            b->comm->setOnComm(nullptr);
            loop.removeTimer(b->timer);
            loop.removeTimer(b->holdTimer);
        }
        boards.clear();
        if (sweepTimer != 0) loop.removeTimer(sweepTimer);
        // A socket handed over is its giver's to remove.
        if (unixSock && options.inheritedSocket < 0 && !options.socketPath.empty())
            ::unlink(options.socketPath.c_str());
    }

    void start();

    // --- boards -------------------------------------------------------------------------------
    void openBoard(Board& b) {
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

    std::string awayText(const Board& b) const {
        return "the board " + b.setup.name + " is away" +
               (b.lastError.empty() ? std::string() : " (" + b.lastError + ")") +
               "; the daemon looks for it every second";
    }

    // A board away is, to its clients, a device that went away: each is told and closed, as a
    // port of its own would hang up, and a new one is refused until the board is back.
    void boardGone(Board& b) {
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

    void fail(const Request& r, std::string_view reason) {
        Client* c = find(r.client);
        if (c == nullptr) return;
        c->waiting -= 1;
        send(*c, {"failed", r.id, reason});
    }

    void onBoardInput(Board& b) {
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
    void takeStray(Board& b, std::string_view bytes) {
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
    void shareInterrupts(Board& b, std::string_view bytes, uint64_t except) {
        std::size_t start = 0;
        while (start < bytes.size()) {
            const std::size_t end = std::min(bytes.find_first_of("\r\n", start), bytes.size());
            const std::string_view line = bytes.substr(start, end - start);
            if (line == "L" || line == "H") broadcast(b, std::string(line) + "\r\n", except);
            start = end + 1;
        }
    }

    void startSettle(Board& b) {
        b.unsettled = false;
        b.settling = true;
        b.settleWindows = 0;
        b.settleHeard = false;
        b.settled.clear();
        b.comm->deliverPending();
        if (b.settling)
            loop.armTimer(b.timer, Clock::now() + b.window, std::chrono::nanoseconds(0));
    }

    void endSettle(Board& b) {
        loop.disarmTimer(b.timer);
        b.settling = false;
        shareInterrupts(b, b.settled, 0);
        b.settled.clear();
    }

    void onBoardTimer(Board& b) {
        if (b.active) {
            // A reply the board sent in time but the daemon has not read yet (a busy machine)
            // is still this command's.
            const uint64_t ended = b.ended;
            b.comm->deliverPending();
            if (b.ended == ended) finish(b, "failed", "timeout");
            return;
        }
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
    void finish(Board& b, std::string_view verb, std::string_view reason) {
        loop.disarmTimer(b.timer);
        b.ended += 1;
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
    void restoreFailed(Board& b, std::string_view why) {
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
    void addTurn(Client& c) {
        if (c.dead || c.inTurns || c.queue.empty() || c.board == nullptr) return;
        if (c.board->holder == c.id) return;
        (c.own ? c.board->ownTurns : c.board->turns).push_back(c.id);
        c.inTurns = true;
    }

    Client* takeTurn(std::deque<uint64_t>& turns) {
        while (!turns.empty()) {
            Client* c = find(turns.front());
            turns.pop_front();
            if (c == nullptr) continue;
            c->inTurns = false;
            if (!c->queue.empty()) return c;
        }
        return nullptr;
    }

    Client* nextInTurn(Board& b) {
        Client* c = b.ownTurn ? takeTurn(b.ownTurns) : nullptr;
        if (c == nullptr) c = takeTurn(b.turns);
        if (c == nullptr) c = takeTurn(b.ownTurns);
        if (c != nullptr) b.ownTurn = !c->own;
        return c;
    }

    void release(Board& b) {
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
    void keepOrRelease(Board& b) {
        if (b.holder == 0 || b.reserved) return;
        const Client* c = find(b.holder);
        const bool goesOn = c != nullptr && b.heldOp != 0 &&
                            ((c->inOp && c->op == b.heldOp) ||
                             (!c->queue.empty() && c->queue.front().op == b.heldOp));
        if (!goesOn) release(b);
    }

    void onHoldTimer(Board& b) {
        b.holdArmed = false;
        Client* c = find(b.holder);
        if (c != nullptr && c->queue.empty() && c->inOp && c->op == b.heldOp)
            c->brokenOp = b.heldOp;
        release(b);
        next(b);
    }

    bool needsRestore(const Board& b, const Client& c, const Request& r) const {
        return !r.restored && c.selection.known && b.lastClient != 0 && b.lastClient != c.id &&
               !(b.selection == c.selection) && !writesAddress(r.bytes);
    }

    void next(Board& b) {
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
    bool run(Board& b, Request r) {
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

    void broadcast(Board& b, std::string_view bytes, uint64_t except) {
        scratch.clear();
        appendFrame(scratch, {"event"}, bytes);
        for (auto& [id, c] : clients)
            if (!c->dead && c->board == &b && c->greeted && id != except) queueOut(*c, scratch);
    }

    // --- clients ------------------------------------------------------------------------------
    Client* find(uint64_t id) {
        const auto it = clients.find(id);
        return it == clients.end() || it->second->dead ? nullptr : it->second.get();
    }
    const Client* find(uint64_t id) const {
        const auto it = clients.find(id);
        return it == clients.end() || it->second->dead ? nullptr : it->second.get();
    }

    void send(Client& c, std::initializer_list<std::string_view> words,
              std::string_view payload = {}) {
        scratch.clear();
        appendFrame(scratch, words, payload);
        queueOut(c, scratch);
    }

    void queueOut(Client& c, std::string_view frame) {
        if (c.dead) return;
        if (c.out.size() - c.outPos + frame.size() > options.maxClientOutput) {
            drop(c);  // takes nothing of what it is sent
            return;
        }
        if (c.outPos > 0 && c.outPos >= c.out.size() / 2) {
            c.out.erase(0, c.outPos);
            c.outPos = 0;
        }
        c.out.append(frame);
        flush(c);
    }

    void flush(Client& c) {
        while (!c.dead && c.outPos < c.out.size()) {
            const ssize_t n =
                ::send(c.fd.get(), c.out.data() + c.outPos, c.out.size() - c.outPos, MSG_NOSIGNAL);
            if (n > 0) {
                c.outPos += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) break;
            drop(c);
            return;
        }
        if (c.outPos == c.out.size()) {
            c.out.clear();
            c.outPos = 0;
        }
        const bool want = c.outPos < c.out.size();
        if (!c.dead && want != c.watchingOut) {
            c.watch.modify(want ? EPOLLIN | EPOLLOUT : EPOLLIN);
            c.watchingOut = want;
        }
    }

    // Sends the error frame as far as the socket takes it at once, then closes.
    void refuse(Client& c, std::string_view reason, std::string_view text) {
        send(c, {"error", reason}, text);
        drop(c);
    }

    // Closes at once; the record goes at the next reap, so that no caller holds a dangling one.
    // Its board goes on at the next reap too: a holder that goes away releases it there.
    void drop(Client& c) {
        if (c.dead) return;
        c.dead = true;
        live -= 1;
        if (c.penaltyUntil) penalized -= 1;
        c.watch.reset();
        c.fd.reset();
        if (Board* b = c.board) {
            b->queued -= c.queue.size();
            c.queue.clear();
            if (b->holder == c.id) {
                b->restoring.clear();
                release(*b);
            }
        }
    }

    // A handler the loop calls runs whole before dead clients are removed and waiting boards
    // are started. The daemon's own code sets off the board's handler too (reading what came
    // before writing a command): started from there, a board's next command would go out in
    // the middle of writing another, and a client a caller still holds would be freed.
    template <typename Fn>
    void handle(Fn&& fn) {
        {
            struct Depth {
                int& depth;
                explicit Depth(int& d) : depth(d) { ++depth; }
                ~Depth() { --depth; }
            } in(handling);
            fn();
        }
        reap();
    }

    void reap() {
        if (handling > 0) return;
        for (auto it = clients.begin(); it != clients.end();)
            it = it->second->dead ? clients.erase(it) : std::next(it);
        for (auto& b : boards) next(*b);
    }

    // At the cap, the oldest connection that has not said hello makes way: connections that
    // say nothing never keep a client that speaks out.
    bool makeRoom(uint64_t newcomer) {
        for (auto& [id, c] : clients) {
            if (id == newcomer || c->dead || c->greeted || c->penaltyUntil) continue;
            refuse(*c, "busy",
                   "too many clients (" + std::to_string(options.maxClients) +
                       "); a connection that had not said hello made way for a newer one");
            return true;
        }
        return false;
    }

    void accept(int listener, bool tcp) {
        while (true) {
            sockaddr_storage peer{};
            socklen_t len = sizeof peer;
            Fd fd(::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &len,
                            SOCK_NONBLOCK | SOCK_CLOEXEC));
            if (!fd) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                    // No descriptor to be had: the waiting connection would keep the listener
                    // ready and the loop busy. Listening resumes at the next sweep.
                    pauseListeners();
                }
                break;
            }
            auto c = std::make_unique<Client>();
            c->id = ++nextClient;
            c->fd = std::move(fd);
            c->tcp = tcp;
            c->since = Clock::now();
            if (tcp) {
                const int on = 1;
                ::setsockopt(c->fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                char host[INET6_ADDRSTRLEN] = "?";
                uint16_t port = 0;
                if (peer.ss_family == AF_INET) {
                    const auto* in = reinterpret_cast<const sockaddr_in*>(&peer);
                    ::inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
                    port = ntohs(in->sin_port);
                } else if (peer.ss_family == AF_INET6) {
                    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&peer);
                    ::inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
                    port = ntohs(in6->sin6_port);
                }
                c->peer = std::string(host) + ":" + std::to_string(port);
            } else {
                ucred cred{};
                socklen_t clen = sizeof cred;
                const bool known =
                    ::getsockopt(c->fd.get(), SOL_SOCKET, SO_PEERCRED, &cred, &clen) == 0;
                c->pid = known ? cred.pid : 0;
                c->peer = known ? "pid " + std::to_string(cred.pid) : "unix";
            }
            const uint64_t id = c->id;
            c->watch = loop.watch(c->fd.get(), EPOLLIN,
                                  [this, id](uint32_t ev) { handle([&] { onClient(id, ev); }); });
            Client& ref = *c;
            clients.emplace(id, std::move(c));
            live += 1;
            if (live > options.maxClients && !makeRoom(id)) {
                refuse(ref, "busy",
                       "too many clients (" + std::to_string(options.maxClients) + ")");
            }
        }
        reap();
    }

    void pauseListeners() {
        listenersPaused = true;
        if (unixWatch) unixWatch.modify(0);
        if (tcpWatch) tcpWatch.modify(0);
    }

    void onClient(uint64_t id, uint32_t events) {
        Client* c = find(id);
        if (c == nullptr) return;
        if ((events & EPOLLOUT) != 0) {
            flush(*c);
            if (c->dead) return;
        }
        if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) == 0) return;
        std::array<char, 16384> buf;
        for (std::size_t taken = 0; taken < 64 * 1024; taken += buf.size()) {
            const ssize_t n = ::recv(c->fd.get(), buf.data(), buf.size(), 0);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
                drop(*c);
                return;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) break;
            c->reader.append(std::string_view(buf.data(), static_cast<std::size_t>(n)));
            Frame f;
            while (!c->dead && !c->penaltyUntil) {
                const FrameReader::Next next = c->reader.next(f);
                if (next == FrameReader::Next::More) break;
                if (next == FrameReader::Next::Error) {
                    refuse(*c, "bad-frame", c->reader.error());
                    return;
                }
                onFrame(*c, f);
            }
            if (c->dead || c->penaltyUntil) return;
            // A frame's time counts from its first bytes, however slowly the rest trickles in.
            if (!c->reader.partial()) {
                c->partial = false;
            } else if (!c->partial) {
                c->partial = true;
                c->partialSince = Clock::now();
            }
            if (static_cast<std::size_t>(n) < buf.size()) return;
        }
    }

    void hello(Client& c, const Frame& f) {
        if (f.verb() != "hello")
            return refuse(c, "no-hello", "the first frame must be: hello VERSION BOARD LEN");
        if (f.arg(1) != std::to_string(kVersion))
            return refuse(c, "version", "this daemon speaks version " + std::to_string(kVersion));
        if (c.tcp) {
            // Each wrong guess is answered only after a pause, and only so many wait at once;
            // beyond, a token is not even looked at, so that a flood learns nothing faster.
            if (penalized >= kMostPenalized)
                return refuse(c, "busy", "too many wrong tokens lately; try again later");
            if (!sameToken(f.payload, options.token)) {
                c.penaltyUntil = Clock::now() + options.tokenPenalty;
                penalized += 1;
                c.watch.modify(0);
                return;
            }
        }
        const std::string_view name = f.arg(2);
        const std::string_view role = f.arg(3);
        for (auto& b : boards)
            if (name == "-" || name == b->setup.name) {
                c.board = b.get();
                break;
            }
        if (c.board == nullptr) return refuse(c, "no-board", "no board named " + std::string(name));
        if (!c.board->open && role != "status") return refuse(c, "board-away", awayText(*c.board));
        // The recording of this very process has a share of its own; nobody else can claim it.
        c.own = role == "recording" && !c.tcp && c.pid == self;
        c.greeted = true;
        send(c, {"hello", std::to_string(kVersion), c.board->setup.name,
                 std::to_string(c.board->setup.baud)});
    }

    void onFrame(Client& c, const Frame& f) {
        if (!c.greeted) return hello(c, f);
        const std::string& verb = f.verb();
        Board& b = *c.board;
        if (verb == "cmd") {
            const std::string_view id = f.arg(1);
            if (f.words.size() != 2) return refuse(c, "bad-frame", "expected: cmd ID LEN");
            if (!isOneCommandLine(f.payload))
                return refuse(c, "not-one-line",
                              "a cmd frame holds exactly one command line: text ending in its "
                              "CR, or \"@\" alone");
            c.commands += 1;
            if (!b.open) return refuse(c, "board-away", awayText(b));
            // A client with nothing waiting always gets its command in: a full queue of
            // others' does not shut it out.
            if ((b.queued >= options.maxQueue && c.waiting > 0) ||
                c.waiting >= options.maxPerClient)
                return send(c, {"failed", id, "queue-full"});
            c.waiting += 1;
            const bool busy = b.active || (b.holder != 0 && b.holder != c.id);
            const std::size_t ahead = b.queued + (busy ? 1 : 0);
            c.queue.push_back(Request{c.id, std::string(id), f.payload, c.inOp ? c.op : 0});
            b.queued += 1;
            if (ahead > 0) send(c, {"queued", id, std::to_string(ahead)});
            if (b.holder != c.id) addTurn(c);
            return next(b);
        }
        if (verb == "begin" || verb == "end") {
            if (f.words.size() != 1) return refuse(c, "bad-frame", "expected: " + verb + " 0");
            if (verb == "begin") c.op += 1;
            c.inOp = verb == "begin";
            if (b.holder == c.id && !b.active) {
                keepOrRelease(b);
                next(b);
            }
            return;
        }
        if (verb == "status") return send(c, {"status"}, status().dump());
        refuse(c, "bad-frame", "unknown request \"" + verb + "\"");
    }

    void sweep() {
        const Clock::time_point now = Clock::now();
        for (auto& [id, c] : clients) {
            if (c->dead) continue;
            if (c->penaltyUntil) {
                if (now >= *c->penaltyUntil) refuse(*c, "token", "a wrong or missing token");
            } else if (!c->greeted && now - c->since > options.idleTimeout) {
                refuse(*c, "idle", "no whole hello");
            } else if (c->partial && now - c->partialSince > options.idleTimeout) {
                refuse(*c, "idle", "half a frame, then nothing");
            }
        }
        reap();
        for (auto& b : boards) {
            if (b->open && b->comm->HungUp()) boardGone(*b);
            if (!b->open) openBoard(*b);
        }
        if (listenersPaused) {
            listenersPaused = false;
            if (unixWatch) unixWatch.modify(EPOLLIN);
            if (tcpWatch) tcpWatch.modify(EPOLLIN);
        }
        reap();
    }

    nlohmann::json status() const {
        nlohmann::json j;
        j["version"] = kVersion;
        j["socket"] = options.socketPath;
        j["listen"] = options.listen.empty() ? nlohmann::json() : nlohmann::json(options.listen);
        j["transactions"] = total;
        auto& bs = j["boards"] = nlohmann::json::array();
        for (const auto& b : boards) {
            std::size_t n = 0;
            for (const auto& [id, c] : clients)
                if (!c->dead && c->board == b.get()) ++n;
            bs.push_back({{"name", b->setup.name},
                          {"device", b->setup.device},
                          {"baud", b->setup.baud},
                          {"open", b->open},
                          {"busy", b->active.has_value()},
                          {"queued", b->queued},
                          {"clients", n},
                          {"transactions", b->transactions},
                          {"failures", b->failures},
                          {"restores", b->restores},
                          {"last_error", b->lastError}});
        }
        // The first clients only, so that the status fits a frame however many are there.
        j["client_count"] = live;
        auto& cs = j["clients"] = nlohmann::json::array();
        const auto now = Clock::now();
        for (const auto& [id, c] : clients) {
            if (c->dead) continue;
            if (cs.size() == kStatusClients) break;
            cs.push_back(
                {{"id", id},
                 {"peer", c->peer},
                 {"tcp", c->tcp},
                 {"board", c->board ? nlohmann::json(c->board->setup.name) : nlohmann::json()},
                 {"commands", c->commands},
                 {"waiting", c->waiting},
                 {"seconds", std::chrono::duration<double>(now - c->since).count()}});
        }
        return j;
    }
};

void Daemon::Impl::start() {
    if (options.boards.empty()) throw Error(err::PortOpenFailed, "serve: no board to serve");
    if (!options.listen.empty() && options.token.empty())
        throw Error(err::PortOpenFailed, "serve: TCP (--listen) needs a token (--token-file)");
    if (!options.listen.empty() && options.token.size() < kMinToken)
        throw Error(err::PortOpenFailed, "serve: a token of " +
                                             std::to_string(options.token.size()) +
                                             " characters is too easily guessed (at least " +
                                             std::to_string(kMinToken) + ")");
    for (const BoardSetup& setup : options.boards) {
        if (!isWord(setup.name))
            throw Error(err::PortOpenFailed, "serve: the board name \"" + setup.name +
                                                 "\" must be a word without spaces");
        for (const auto& b : boards)
            if (b->setup.name == setup.name)
                throw Error(err::PortOpenFailed, "serve: two boards named " + setup.name);
        auto b = std::make_unique<Board>();
        b->setup = setup;
        b->comm = makeSerialComm(loop, defaultInBufferSize, fixedDevice(setup.device));
        const auto window = options.replyWindow.count() > 0
                                ? options.replyWindow
                                : std::chrono::milliseconds(std::max<int64_t>(
                                      50, 2 * 2'500'000 / std::max(setup.baud, 1)));
        b->window = window;
        Board* raw = b.get();
        b->comm->setOnComm([this, raw] { handle([&] { onBoardInput(*raw); }); });
        b->timer = loop.addTimer([this, raw] { handle([&] { onBoardTimer(*raw); }); });
        b->holdTimer = loop.addTimer([this, raw] { handle([&] { onHoldTimer(*raw); }); });
        boards.push_back(std::move(b));
    }
    if (options.inheritedSocket >= 0) {
        unixSock.reset(options.inheritedSocket);
        // The accept loop ends on EAGAIN: a socket handed over blocking would hold it.
        const int flags = ::fcntl(unixSock.get(), F_GETFL);
        if (flags < 0 || ::fcntl(unixSock.get(), F_SETFL, flags | O_NONBLOCK) != 0)
            throw Error(err::PortOpenFailed, sysMessage("fcntl", "the socket handed over", errno));
    } else if (!options.socketPath.empty()) {
        unixSock = unixListener(options.socketPath, options.socketGroup);
    }
    if (!options.listen.empty())
        tcpSock = tcpListener(options.listen, options.allowRemote, tcpPortBound);
    if (!unixSock && !tcpSock) throw Error(err::PortOpenFailed, "serve: no socket to listen on");
    for (auto& b : boards) openBoard(*b);
    if (unixSock)
        unixWatch = loop.watch(unixSock.get(), EPOLLIN, [this](uint32_t) {
            handle([&] { accept(unixSock.get(), false); });
        });
    if (tcpSock)
        tcpWatch = loop.watch(tcpSock.get(), EPOLLIN,
                              [this](uint32_t) { handle([&] { accept(tcpSock.get(), true); }); });
    sweepTimer = loop.addTimer([this] { handle([&] { sweep(); }); });
    loop.armTimer(sweepTimer, Clock::now() + kSweep, kSweep);
}

Daemon::Daemon(EventLoop& loop, DaemonOptions options)
    : impl_(std::make_unique<Impl>(loop, std::move(options))) {
    impl_->start();
}

Daemon::~Daemon() = default;

std::string Daemon::statusJson() const {
    return impl_->status().dump();
}

uint16_t Daemon::tcpPort() const {
    return impl_->tcpPortBound;
}

std::size_t Daemon::clientCount() const {
    return impl_->live;
}

uint64_t Daemon::transactions() const {
    return impl_->total;
}

std::string defaultSocketPath() {
    return defaultServeSocket();
}

std::string askStatus(const std::string& path) {
    const auto fail = [&](const std::string& why) {
        return Error(err::PortOpenFailed, path + ": " + why + " (is vantrel serve running?)");
    };
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) throw fail("the path is too long");
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) throw fail(std::strerror(errno));
    timeval limit{3, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        throw fail(std::strerror(errno));
    std::string ask;
    // Asked as "status": the daemon answers also while its boards are away.
    appendFrame(ask, {"hello", std::to_string(kVersion), "-", "status"});
    appendFrame(ask, {"status"});
    if (::send(fd.get(), ask.data(), ask.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(ask.size()))
        throw fail(std::strerror(errno));
    FrameReader reader(kMaxReply);
    Frame f;
    std::array<char, 4096> buf;
    while (true) {
        const FrameReader::Next next = reader.next(f);
        if (next == FrameReader::Next::Error) throw fail(reader.error());
        if (next == FrameReader::Next::Frame) {
            if (f.verb() == "status") return f.payload;
            if (f.verb() == "error") throw fail(std::string(f.arg(1)) + ": " + f.payload);
            continue;  // the hello
        }
        const ssize_t n = ::recv(fd.get(), buf.data(), buf.size(), 0);
        if (n <= 0)
            throw fail(n == 0 ? "the daemon closed the connection"
                              : std::string(std::strerror(errno)));
        reader.append(std::string_view(buf.data(), static_cast<std::size_t>(n)));
    }
}

DaemonThread::DaemonThread(DaemonOptions options)
    : wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (!wake_) throw Error(err::EventLoopFailed, sysMessage("eventfd", "", errno));
    std::promise<uint16_t> ready;
    std::future<uint16_t> started = ready.get_future();
    thread_ = std::thread([this, options = std::move(options), &ready]() mutable {
        std::optional<Daemon> daemon;
        std::unique_ptr<EventLoop> loop;
        bool stop = false;
        WatchHandle wake;
        try {
            loop = makeEpollLoop();
            daemon.emplace(*loop, std::move(options));
            wake = loop->watch(wake_.get(), EPOLLIN, [&stop](uint32_t) { stop = true; });
            ready.set_value(daemon->tcpPort());
        } catch (...) {
            ready.set_exception(std::current_exception());
            return;
        }
        while (!stop) loop->pumpOnce();
        wake.reset();
        daemon.reset();
    });
    try {
        tcpPort_ = started.get();
    } catch (...) {
        thread_.join();
        throw;
    }
}

DaemonThread::~DaemonThread() {
    stop();
}

void DaemonThread::stop() {
    if (!thread_.joinable()) return;
    const uint64_t one = 1;
    (void)!::write(wake_.get(), &one, sizeof one);
    thread_.join();
}

}  // namespace vantrel::serve
