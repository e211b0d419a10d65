// vantrel command-line tool: an editable input line on a terminal (libedit), driven from the
// tool's own poll loop so that the board's output keeps arriving while a person types.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vantrel/platform.hpp"

namespace vantrel::cli {

class LineEditor {
  public:
    // What the editor gives back after a key.
    enum class Input { Editing, Line, End };

    // prompt: asked for at every redraw. words: the names Tab completes, given the text before
    // the word being completed (none: Tab completes nothing). historyFile: read at the start and
    // written at the end (none: the history lasts for this run only). Takes over standard input and
    // output.
    LineEditor(std::function<std::string()> prompt,
               std::function<std::vector<std::string>(std::string_view before)> words,
               std::string historyFile);
    ~LineEditor();
    LineEditor(const LineEditor&) = delete;
    LineEditor& operator=(const LineEditor&) = delete;

    // Shows the prompt and starts taking keys.
    void start();
    // Stops taking keys and gives the terminal back (nothing when stopped).
    void stop();
    // Handles what standard input has (call when it is readable). On Line, line() holds it
    // (without the line end) and the editor has stopped: the caller prints what it wants, then
    // calls start() again.
    Input feed();
    const std::string& line() const { return line_; }

    // Prints text above the line being typed, which stays as it was. Plain printing when the
    // editor is stopped.
    void printAbove(std::string_view text);
    // Drops the line being typed (Ctrl-C) and shows a fresh prompt.
    void cancelLine();
    // A read of a key also ends when this descriptor (a signalfd) is readable, so that a signal
    // is seen even when the key that woke the caller is gone (-1: keys only).
    void interruptedBy(int signalFd);
    // The terminal changed size.
    void resized();
    // Makes a control key (e.g. ']' for Ctrl-]) end the input at once, whatever was typed.
    void endOn(char key);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string line_;
};

class StopSignals;

// Runs a console on the calling thread until the editor ends (Ctrl-D, the end key, the terminal
// gone), SIGTERM arrives or done() holds after a line or the loop's events: the loop's events are
// dispatched, SIGINT drops the line being typed, SIGWINCH reaches the editor, each line typed goes
// to onLine. The console takes SIGINT and SIGTERM from stopSignals meanwhile. The editor is started
// here and stopped on return. Returns the signal that ended it (SIGTERM), or 0.
int runConsole(StopSignals& stopSignals, EventLoop& loop, LineEditor& editor,
               const std::function<void(const std::string&)>& onLine,
               const std::function<bool()>& done);

// The file that keeps the shell's history: ~/.vantrel_history (none without a home).
std::string defaultHistoryFile();

}  // namespace vantrel::cli
