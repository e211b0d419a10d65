// vantrel recorder: the notes socket.
#include "note_inbox.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vantrel::acquire {

namespace {

// An address for `path`. A path longer than sun_path holds (deep scratch folders) is reached
// through its folder's descriptor, which `dir` keeps open while the address is used.
sockaddr_un addressOf(const std::string& path, Fd& dir) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::string target = path;
    if (target.size() >= sizeof a.sun_path) {
        const auto slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
        dir.reset(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!dir) throw std::runtime_error(sysMessage("open", folder, errno));
        target = "/proc/self/fd/" + std::to_string(dir.get()) + "/" + path.substr(slash + 1);
        if (target.size() >= sizeof a.sun_path)
            throw std::runtime_error(path + ": the socket's name is too long");
    }
    std::memcpy(a.sun_path, target.c_str(), target.size() + 1);
    return a;
}

}  // namespace

std::optional<std::string> noteProblem(std::string_view text) {
    if (text.find_first_not_of(" \t\r\n") == std::string_view::npos)
        return "a note needs some text";
    if (text.size() > kMaxNote) return "a note is at most " + std::to_string(kMaxNote) + " bytes";
    for (const char c : text)
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r')
            return "a note holds no control characters";
    return std::nullopt;
}

std::string notesSocketFor(const std::string& statusPath) {
    const std::string suffix = ".status.json";
    if (statusPath.size() > suffix.size() && statusPath.ends_with(suffix))
        return statusPath.substr(0, statusPath.size() - suffix.size()) + ".notes.sock";
    return statusPath + ".notes.sock";
}

NoteInbox::NoteInbox(std::string path, NoteFn take)
    : path_(std::move(path)), take_(std::move(take)) {
    struct stat st {};
    if (::lstat(path_.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            throw std::runtime_error(path_ + ": exists and is not a socket; not replaced");
        ::unlink(path_.c_str());
    }
    fd_.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd_) throw std::runtime_error(sysMessage("socket", path_, errno));
    Fd dir;
    const sockaddr_un a = addressOf(path_, dir);
    if (::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error(sysMessage("bind", path_, errno));
}

NoteInbox::~NoteInbox() {
    ::unlink(path_.c_str());
}

void NoteInbox::takeAll() {
    char buf[kMaxNote + 1];
    while (true) {
        sockaddr_un from{};
        socklen_t fromLen = sizeof from;
        const ssize_t n = ::recvfrom(fd_.get(), buf, sizeof buf, MSG_TRUNC,
                                     reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        const auto size = static_cast<std::size_t>(n);
        std::string answer;
        try {
            if (size > kMaxNote)
                throw std::invalid_argument("a note is at most " + std::to_string(kMaxNote) +
                                            " bytes");
            answer = take_(std::string(buf, size));
        } catch (const std::invalid_argument& e) {
            answer = std::string("error: ") + e.what();
        }
        // A sender that left gets no answer; the note stands all the same.
        [[maybe_unused]] const auto sent =
            ::sendto(fd_.get(), answer.data(), answer.size(), MSG_DONTWAIT,
                     reinterpret_cast<const sockaddr*>(&from), fromLen);
    }
}

std::string sendNote(const std::string& path, const std::string& text,
                     std::chrono::milliseconds wait) {
    Fd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd) throw std::runtime_error(sysMessage("socket", path, errno));
    // An address of our own (an abstract one the kernel picks), for the answer to come back to.
    const sa_family_t family = AF_UNIX;
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&family), sizeof family) != 0)
        throw std::runtime_error(sysMessage("bind", "", errno));
    Fd dir;
    const sockaddr_un a = addressOf(path, dir);
    if (::sendto(fd.get(), text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&a),
                 sizeof a) < 0)
        throw std::runtime_error(sysMessage("send to", path, errno));
    pollfd p{fd.get(), POLLIN, 0};
    int ready;
    while ((ready = ::poll(&p, 1, static_cast<int>(wait.count()))) < 0 && errno == EINTR) {
    }
    if (ready != 1)
        throw std::runtime_error(path + ": no answer within " + std::to_string(wait.count()) +
                                 " ms");
    char buf[512];
    const ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
    if (n < 0) throw std::runtime_error(sysMessage("receive from", path, errno));
    return std::string(buf, static_cast<std::size_t>(n));
}

}  // namespace vantrel::acquire
