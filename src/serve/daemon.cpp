// vantrel serve: the daemon's core. One loop; each board a serial component on it, each client
// a socket on it. Nothing waits but the loop.
#include "serve/daemon_impl.hpp"
#include "serve/listeners.hpp"

namespace vantrel::serve {

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
