// vantrel serve: the daemon's core, shared by its rooms (daemon.cpp: start and the public
// face; daemon_board.cpp: a board's transactions and the clients' turns; daemon_clients.cpp:
// connections, frames and status).
#pragma once

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

#include "serve/daemon.hpp"
#include "serve/selection.hpp"

namespace vantrel::serve {

inline constexpr std::chrono::seconds kSweep{1};
// The most reply windows a late reply may take to end before the line counts as quiet.
inline constexpr int kSettleWindows = 4;
// The most commands one operation holds the board for: a client streaming commands inside
// one operation does not keep the others out for ever.
inline constexpr int kMostInOperation = 64;
// TCP connections whose wrong token waits for its answer at once.
inline constexpr std::size_t kMostPenalized = 16;
// Clients listed in a status.
inline constexpr std::size_t kStatusClients = 200;

struct Daemon::Impl {
    using Clock = std::chrono::steady_clock;

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

    // A board's transactions, and the clients taking turns on it (daemon_board.cpp).
    void openBoard(Board& b);
    std::string awayText(const Board& b) const;
    void boardGone(Board& b);
    void fail(const Request& r, std::string_view reason);
    void onBoardInput(Board& b);
    void takeStray(Board& b, std::string_view bytes);
    void shareInterrupts(Board& b, std::string_view bytes, uint64_t except);
    void startSettle(Board& b);
    void endSettle(Board& b);
    void onBoardTimer(Board& b);
    void finish(Board& b, std::string_view verb, std::string_view reason);
    void restoreFailed(Board& b, std::string_view why);
    void addTurn(Client& c);
    Client* takeTurn(std::deque<uint64_t>& turns);
    Client* nextInTurn(Board& b);
    void release(Board& b);
    void keepOrRelease(Board& b);
    void onHoldTimer(Board& b);
    bool needsRestore(const Board& b, const Client& c, const Request& r) const;
    void next(Board& b);
    bool run(Board& b, Request r);
    void broadcast(Board& b, std::string_view bytes, uint64_t except);

    // Connections, their frames, and the status (daemon_clients.cpp).
    Client* find(uint64_t id);
    const Client* find(uint64_t id) const;
    void send(Client& c, std::initializer_list<std::string_view> words,
              std::string_view payload = {});
    void queueOut(Client& c, std::string_view frame);
    void flush(Client& c);
    void refuse(Client& c, std::string_view reason, std::string_view text);
    void drop(Client& c);

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

    void reap();
    bool makeRoom(uint64_t newcomer);
    void accept(int listener, bool tcp);
    void pauseListeners();
    void onClient(uint64_t id, uint32_t events);
    void hello(Client& c, const Frame& f);
    void onFrame(Client& c, const Frame& f);
    void sweep();
    nlohmann::json status() const;
};

}  // namespace vantrel::serve
