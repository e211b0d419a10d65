// vantrel serve: connections, their frames, and the daemon's status.
#include "serve/daemon_impl.hpp"
#include "serve/listeners.hpp"

namespace vantrel::serve {

// --- clients ------------------------------------------------------------------------------
Daemon::Impl::Client* Daemon::Impl::find(uint64_t id) {
    const auto it = clients.find(id);
    return it == clients.end() || it->second->dead ? nullptr : it->second.get();
}

const Daemon::Impl::Client* Daemon::Impl::find(uint64_t id) const {
    const auto it = clients.find(id);
    return it == clients.end() || it->second->dead ? nullptr : it->second.get();
}

void Daemon::Impl::send(Client& c, std::initializer_list<std::string_view> words,
                        std::string_view payload) {
    scratch.clear();
    appendFrame(scratch, words, payload);
    queueOut(c, scratch);
}

void Daemon::Impl::queueOut(Client& c, std::string_view frame) {
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

void Daemon::Impl::flush(Client& c) {
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
void Daemon::Impl::refuse(Client& c, std::string_view reason, std::string_view text) {
    send(c, {"error", reason}, text);
    drop(c);
}

// Closes at once; the record goes at the next reap, so that no caller holds a dangling one.
// Its board goes on at the next reap too: a holder that goes away releases it there.
void Daemon::Impl::drop(Client& c) {
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

void Daemon::Impl::reap() {
    if (handling > 0) return;
    for (auto it = clients.begin(); it != clients.end();)
        it = it->second->dead ? clients.erase(it) : std::next(it);
    for (auto& b : boards) next(*b);
}

// At the cap, the oldest connection that has not said hello makes way: connections that
// say nothing never keep a client that speaks out.
bool Daemon::Impl::makeRoom(uint64_t newcomer) {
    for (auto& [id, c] : clients) {
        if (id == newcomer || c->dead || c->greeted || c->penaltyUntil) continue;
        refuse(*c, "busy",
               "too many clients (" + std::to_string(options.maxClients) +
                   "); a connection that had not said hello made way for a newer one");
        return true;
    }
    return false;
}

void Daemon::Impl::accept(int listener, bool tcp) {
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
            refuse(ref, "busy", "too many clients (" + std::to_string(options.maxClients) + ")");
        }
    }
    reap();
}

void Daemon::Impl::pauseListeners() {
    listenersPaused = true;
    if (unixWatch) unixWatch.modify(0);
    if (tcpWatch) tcpWatch.modify(0);
}

void Daemon::Impl::onClient(uint64_t id, uint32_t events) {
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

void Daemon::Impl::hello(Client& c, const Frame& f) {
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

void Daemon::Impl::onFrame(Client& c, const Frame& f) {
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
        if ((b.queued >= options.maxQueue && c.waiting > 0) || c.waiting >= options.maxPerClient)
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

void Daemon::Impl::sweep() {
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

nlohmann::json Daemon::Impl::status() const {
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
        cs.push_back({{"id", id},
                      {"peer", c->peer},
                      {"tcp", c->tcp},
                      {"board", c->board ? nlohmann::json(c->board->setup.name) : nlohmann::json()},
                      {"commands", c->commands},
                      {"waiting", c->waiting},
                      {"seconds", std::chrono::duration<double>(now - c->since).count()}});
    }
    return j;
}

}  // namespace vantrel::serve
