// vantrel recorder: where a running recorder takes notes from other programs (`vantrel log
// note`). A datagram socket beside the status file: one note a datagram, answered with the
// time the note was given or why it was refused. The status file names the socket.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "fd.hpp"

namespace vantrel::acquire {

// The longest note taken, in bytes.
inline constexpr std::size_t kMaxNote = 1000;

// Why a note cannot be taken (empty, too long, control characters other than tab and line
// ends), or none.
std::optional<std::string> noteProblem(std::string_view text);

// The socket that belongs to a status file: "lab.status.json" -> "lab.notes.sock".
std::string notesSocketFor(const std::string& statusPath);

class NoteInbox {
  public:
    // Takes a note's text and returns its time as the records store it; throws
    // std::invalid_argument with the reason for a note it refuses.
    using NoteFn = std::function<std::string(const std::string& text)>;

    // Binds the socket at `path`, replacing a socket left there by a recorder that ended without
    // removing it; a file of another kind is refused. Throws std::runtime_error.
    NoteInbox(std::string path, NoteFn take);
    ~NoteInbox();
    NoteInbox(const NoteInbox&) = delete;
    NoteInbox& operator=(const NoteInbox&) = delete;

    int fd() const { return fd_.get(); }
    const std::string& path() const { return path_; }
    // Takes and answers every note waiting; never blocks.
    void takeAll();

  private:
    std::string path_;
    NoteFn take_;
    Fd fd_;
};

// Sends `text` to the inbox at `path` and returns its answer, waiting at most `wait`. Throws
// std::runtime_error when there is no inbox there or no answer in time.
std::string sendNote(const std::string& path, const std::string& text,
                     std::chrono::milliseconds wait);

}  // namespace vantrel::acquire
