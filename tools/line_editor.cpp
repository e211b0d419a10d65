// vantrel command-line tool: an editable input line on a terminal (libedit).
//
// libedit runs unbuffered: each feed() handles one key (or one escape sequence) and returns. While
// the editor is started the terminal is in libedit's editing mode; stopping it (EL_UNBUFFERED
// off) puts the terminal back, and starting it again redraws the prompt on a clean line.
#include "line_editor.hpp"

#include <fcntl.h>
#include <histedit.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "fd.hpp"
#include "signals.hpp"
#include "vantrel/error.hpp"

namespace vantrel::cli {

struct LineEditor::Impl {
    EditLine* el = nullptr;
    History* hist = nullptr;
    HistEvent ev{};
    std::string historyFile;
    std::function<std::string()> prompt;
    std::function<std::vector<std::string>(std::string_view)> words;
    std::string promptText;
    bool editing = false;
    bool endRequested = false;
    // The terminal's settings before the editor took it, put back when it stops for good.
    termios original{};
    bool haveOriginal = false;
    // The terminal opened again without blocking, for the editor's reads (none: standard input).
    Fd input;
    // A signal waiting here ends a read (see readKey).
    int signalFd = -1;

    static int readChar(EditLine* el, wchar_t* out) {
        Impl* self = nullptr;
        el_get(el, EL_CLIENTDATA, &self);
        return self->readKey(out);
    }

    // One character for the editor: 1, 0 at the end of input, -1 with errno. The console reads
    // when poll finds the terminal readable, but the interrupt key empties the terminal's input
    // as it raises SIGINT, so the key that woke it may be gone by the time the editor reads: a
    // blocking read would then wait for the next key with the interrupt unseen. So the read
    // waits for a key or a signal, and takes only what is there.
    int readKey(wchar_t* out) {
        const int fd = input ? input.get() : STDIN_FILENO;
        char bytes[MB_LEN_MAX];
        std::size_t have = 0;
        *out = L'\0';
        for (;;) {
            pollfd fds[2] = {{fd, POLLIN, 0}, {signalFd, POLLIN, 0}};
            if (::poll(fds, signalFd >= 0 ? 2 : 1, -1) < 0) {
                if (errno == EINTR) continue;
                return -1;
            }
            if (signalFd >= 0 && (fds[1].revents & POLLIN) != 0) {
                errno = EINTR;
                return -1;
            }
            const ssize_t n = ::read(fd, bytes + have, 1);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (n <= 0) return static_cast<int>(n);
            ++have;
            std::mbstate_t state{};
            const std::size_t r = std::mbrtowc(out, bytes, have, &state);
            if (r == static_cast<std::size_t>(-2) && have < sizeof bytes) continue;
            if (r == static_cast<std::size_t>(-1) || r == static_cast<std::size_t>(-2)) {
                have = 0;  // not a character: dropped, as the editor's own reader does
                continue;
            }
            return 1;
        }
    }

    // Gives the terminal back between two lines, without echo: keys typed ahead while the
    // caller works wait unseen in the terminal, and the editor shows them after its prompt when
    // it starts again (echoed now, they would stand before the prompt).
    void pause() {
        el_set(el, EL_UNBUFFERED, 0);
        editing = false;
        termios t{};
        if (::tcgetattr(STDIN_FILENO, &t) != 0) return;
        t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &t);
    }

    static char* promptOf(EditLine* el) {
        Impl* self = nullptr;
        el_get(el, EL_CLIENTDATA, &self);
        self->promptText = self->prompt();
        return self->promptText.data();
    }

    static unsigned char endKey(EditLine* el, int) {
        Impl* self = nullptr;
        el_get(el, EL_CLIENTDATA, &self);
        self->endRequested = true;
        return CC_EOF;
    }

    static unsigned char complete(EditLine* el, int) {
        Impl* self = nullptr;
        el_get(el, EL_CLIENTDATA, &self);
        return self->completeWord();
    }

    unsigned char completeWord() {
        const LineInfo* li = el_line(el);
        const std::string_view before(li->buffer,
                                      static_cast<std::size_t>(li->cursor - li->buffer));
        std::size_t start = before.size();
        while (start > 0) {
            const char c = before[start - 1];
            if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) break;
            --start;
        }
        const std::string_view word = before.substr(start);
        std::vector<std::string> matches;
        for (std::string& w : words(before.substr(0, start))) {
            if (w.size() < word.size()) continue;
            bool same = true;
            for (std::size_t i = 0; i < word.size() && same; ++i)
                same = std::tolower(static_cast<unsigned char>(w[i])) ==
                       std::tolower(static_cast<unsigned char>(word[i]));
            if (same && std::find(matches.begin(), matches.end(), w) == matches.end())
                matches.push_back(std::move(w));
        }
        if (matches.empty()) return CC_ERROR;
        // The longest start that all matches share (ignoring case), spelled as the first match.
        std::size_t common = matches[0].size();
        for (const std::string& m : matches) {
            std::size_t i = 0;
            while (i < common && i < m.size() &&
                   std::tolower(static_cast<unsigned char>(m[i])) ==
                       std::tolower(static_cast<unsigned char>(matches[0][i])))
                ++i;
            common = i;
        }
        std::string replacement = matches[0].substr(0, common);
        if (matches.size() == 1) replacement += ' ';
        if (replacement.size() > word.size() || (matches.size() == 1 && replacement != word)) {
            el_deletestr(el, static_cast<int>(word.size()));
            el_insertstr(el, replacement.c_str());
            return CC_REFRESH;
        }
        // Nothing to add: list the choices under the line and draw the line again.
        std::sort(matches.begin(), matches.end());
        std::string list;
        for (const std::string& m : matches) list += (list.empty() ? "\n" : "  ") + m;
        list += '\n';
        std::fputs(list.c_str(), stdout);
        std::fflush(stdout);
        return CC_REDISPLAY;
    }
};

LineEditor::LineEditor(std::function<std::string()> prompt,
                       std::function<std::vector<std::string>(std::string_view)> words,
                       std::string historyFile)
    : impl_(std::make_unique<Impl>()) {
    Impl& m = *impl_;
    m.prompt = std::move(prompt);
    m.words = std::move(words);
    m.historyFile = std::move(historyFile);
    m.haveOriginal = ::tcgetattr(STDIN_FILENO, &m.original) == 0;
    m.hist = history_init();
    history(m.hist, &m.ev, H_SETSIZE, 1000);
    history(m.hist, &m.ev, H_SETUNIQUE, 1);
    if (!m.historyFile.empty()) history(m.hist, &m.ev, H_LOAD, m.historyFile.c_str());
    if (::isatty(STDIN_FILENO) == 1)
        m.input.reset(::open("/proc/self/fd/0", O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    m.el = el_init("vantrel", stdin, stdout, stderr);
    el_set(m.el, EL_CLIENTDATA, &m);
    el_set(m.el, EL_GETCFN, &Impl::readChar);
    el_set(m.el, EL_EDITOR, "emacs");
    // The tool receives SIGINT and SIGTERM itself; libedit must not install handlers.
    el_set(m.el, EL_SIGNAL, 0);
    el_set(m.el, EL_PROMPT, &Impl::promptOf);
    el_set(m.el, EL_HIST, history, m.hist);
    if (m.words) {
        el_set(m.el, EL_ADDFN, "vantrel-complete", "complete a name", &Impl::complete);
        el_set(m.el, EL_BIND, "^I", "vantrel-complete", nullptr);
    }
    // Bindings from ~/.editrc (an editline user's own keys).
    el_source(m.el, nullptr);
}

LineEditor::~LineEditor() {
    Impl& m = *impl_;
    stop();
    if (!m.historyFile.empty()) history(m.hist, &m.ev, H_SAVE, m.historyFile.c_str());
    el_end(m.el);
    history_end(m.hist);
}

void LineEditor::stop() {
    Impl& m = *impl_;
    if (m.editing) {
        m.editing = false;
        el_set(m.el, EL_UNBUFFERED, 0);
    }
    if (m.haveOriginal) ::tcsetattr(STDIN_FILENO, TCSADRAIN, &m.original);
}

void LineEditor::start() {
    if (impl_->editing) return;
    impl_->editing = true;
    el_set(impl_->el, EL_UNBUFFERED, 1);
}

LineEditor::Input LineEditor::feed() {
    Impl& m = *impl_;
    int count = 0;
    errno = 0;
    const char* buf = el_gets(m.el, &count);
    // Unbuffered, an empty line being edited also comes back as nothing; only a failed read
    // (the terminal gone) leaves errno set.
    if (buf == nullptr)
        return errno != 0 && errno != EINTR && errno != EAGAIN ? Input::End : Input::Editing;
    const std::string_view text(buf, static_cast<std::size_t>(count));
    // Ctrl-D on an empty line, or the end key.
    if (text == "\x04" || m.endRequested) {
        stop();
        std::fputs("\n", stdout);
        return Input::End;
    }
    if (text.empty() || (text.back() != '\n' && text.back() != '\r')) return Input::Editing;
    line_.assign(text.substr(0, text.size() - 1));
    m.pause();
    if (line_.find_first_not_of(" \t") != std::string::npos)
        history(m.hist, &m.ev, H_ENTER, line_.c_str());
    return Input::Line;
}

void LineEditor::printAbove(std::string_view text) {
    Impl& m = *impl_;
    if (!m.editing) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
        return;
    }
    // The terminal stays in the editor's mode throughout (leaving it, even briefly, lets keys
    // that arrive meanwhile be echoed by the terminal): back to the start of the prompt's row,
    // clear it, the text with its line ends made explicit, then the editor draws the prompt and
    // the line again from the row's start.
    std::string out = "\r\x1b[K";
    out.reserve(out.size() + text.size() + 8);
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    if (!text.empty() && text.back() != '\n') out += "\r\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    el_set(m.el, EL_REFRESH);
}

void LineEditor::cancelLine() {
    Impl& m = *impl_;
    if (!m.editing) return;
    const LineInfo* li = el_line(m.el);
    const long after = li->lastchar - li->cursor;
    el_set(m.el, EL_UNBUFFERED, 0);
    // After the whole line, as a terminal's own line discipline shows it.
    if (after > 0) std::fprintf(stdout, "\x1b[%ldC", after);
    std::fputs("^C\n", stdout);
    std::fflush(stdout);
    el_set(m.el, EL_UNBUFFERED, 1);
}

void LineEditor::interruptedBy(int signalFd) {
    impl_->signalFd = signalFd;
}

void LineEditor::resized() {
    el_resize(impl_->el);
}

void LineEditor::endOn(char key) {
    el_set(impl_->el, EL_ADDFN, "vantrel-end", "end the input", &Impl::endKey);
    const char seq[3] = {'^', key, '\0'};
    el_set(impl_->el, EL_BIND, seq, "vantrel-end", nullptr);
}

int runConsole(StopSignals& stopSignals, EventLoop& loop, LineEditor& editor,
               const std::function<void(const std::string&)>& onLine,
               const std::function<bool()>& done) {
    const StopSignals::Suspension suspended(stopSignals);
    sigset_t mask, old;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGWINCH);
    if (::sigprocmask(SIG_BLOCK, &mask, &old) != 0)
        throw Error(err::EventLoopFailed, sysMessage("sigprocmask", "", errno));
    struct Restore {
        sigset_t mask;
        ~Restore() { ::sigprocmask(SIG_SETMASK, &mask, nullptr); }
    } restore{old};
    const Fd sigfd(::signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!sigfd) throw Error(err::EventLoopFailed, sysMessage("signalfd", "", errno));

    editor.interruptedBy(sigfd.get());
    struct Unhook {
        LineEditor& editor;
        ~Unhook() { editor.interruptedBy(-1); }
    } unhook{editor};
    editor.start();
    int endedBy = 0;
    for (bool end = false; !end;) {
        pollfd fds[3] = {
            {STDIN_FILENO, POLLIN, 0}, {loop.fd(), POLLIN, 0}, {sigfd.get(), POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            throw Error(err::EventLoopFailed, sysMessage("poll", "", errno));
        }
        if (fds[1].revents != 0) {
            loop.dispatchPending();
            if (done()) break;
        }
        signalfd_siginfo info;
        while (::read(sigfd.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            if (info.ssi_signo == SIGINT)
                editor.cancelLine();
            else if (info.ssi_signo == SIGWINCH)
                editor.resized();
            else
                endedBy = static_cast<int>(info.ssi_signo);
        }
        if (endedBy != 0) break;
        if (fds[0].revents & POLLIN) {
            switch (editor.feed()) {
                case LineEditor::Input::Editing:
                    break;
                case LineEditor::Input::Line:
                    onLine(editor.line());
                    if (done()) return 0;
                    editor.start();
                    break;
                case LineEditor::Input::End:
                    end = true;
                    break;
            }
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            end = true;
        }
    }
    editor.stop();
    return endedBy;
}

std::string defaultHistoryFile() {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') return {};
    return std::string(home) + "/.vantrel_history";
}

}  // namespace vantrel::cli

// The sanitized build's leak check, for leaks inside the libraries the tool uses. libedit keeps
// its copies (wcsdup) of the names of added functions (EL_ADDFN) after el_end, and is built
// without frame pointers, so the check sees only the wcsdup frame; the tool itself never calls
// wcsdup. libmosquitto 2.0.11 loses a name lookup's result (64 bytes) when a broker refuses the
// connection; the output's client is destroyed whole.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libedit.so\nleak:wcsdup\nleak:libmosquitto.so\n";
}
