// vantrel command-line tool: what the commands share.
#include "common.hpp"

#include "platform/text_escape.hpp"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace vantrel::cli {

namespace {

constexpr std::array<int32_t, 10> kRates = {300,  600,   1200,  2400,  4800,
                                            9600, 19200, 38400, 57600, 115200};

// "3=/dev/pts/4" or "COM3=/dev/pts/4" -> {3, "/dev/pts/4"}; nothing when malformed.
std::optional<std::pair<int, std::string>> parseMapping(std::string_view text) {
    const std::size_t eq = text.find('=');
    if (eq == std::string_view::npos || eq + 1 == text.size()) return std::nullopt;
    std::string_view number = text.substr(0, eq);
    if (number.size() > 3 && (number.substr(0, 3) == "COM" || number.substr(0, 3) == "com"))
        number.remove_prefix(3);
    if (number.empty() || number.size() > 3) return std::nullopt;
    int n = 0;
    for (char c : number) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
    }
    if (n < 1 || n > 255) return std::nullopt;
    return std::pair{n, std::string(text.substr(eq + 1))};
}

const CLI::Validator kMapping(
    [](std::string& text) -> std::string {
        return parseMapping(text) ? std::string() : "expected N=PATH with N from 1 to 255";
    },
    "N=PATH");

const CLI::Validator kRate(
    [](std::string& text) -> std::string {
        for (int32_t r : kRates)
            if (text == std::to_string(r)) return {};
        return "the rate must be one of 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, "
               "115200";
    },
    "RATE");

void applyMaps(const std::vector<std::string>& maps, const std::string& device) {
    for (const std::string& m : maps) {
        const auto parsed = parseMapping(m);
        if (!parsed) throw CLI::ValidationError("--map", "expected N=PATH: " + m);
        PortMap::instance().map(parsed->first, parsed->second);
    }
    if (!device.empty()) PortMap::instance().map(1, device);
}

// Why a device could not be opened, found out after the control's own attempt failed (the
// control reports only that it failed). Opens the device for a moment without writing.
std::string deviceProblem(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return sysMessage("open", path, errno);
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return path + " is in use";
    return path + " refused the line settings";
}

}  // namespace

void ControlOptions::addTo(CLI::App& app, bool withPort) {
    if (withPort)
        app.add_option("--port", port, "COM port number, 1 to 8 (default: the control's own)")
            ->check(CLI::Range(1, 8));
    app.add_option("--baud", baud, "baud rate (default: the control's own)")->check(kRate);
    app.add_option("--map", maps, "use device PATH as COM N (repeatable)")->check(kMapping);
    app.add_option("--device", device, "use device PATH as COM1 (the same as --map 1=PATH)");
    app.add_flag("--trace", trace, "show every block of bytes written and received on stderr");
    app.add_option("--form", form, "load the control from this form file (TOML)");
    app.add_option("--name", name, "the control's entry in the form")->capture_default_str();
}

void MapOptions::addTo(CLI::App& app) {
    app.add_option("--map", maps, "use device PATH as COM N (repeatable)")->check(kMapping);
    app.add_option("--device", device, "use device PATH as COM1 (the same as --map 1=PATH)");
}

void MapOptions::apply() const {
    applyMaps(maps, device);
}

Session::Session(const ControlOptions& options)
    : site_(std::make_shared<ToolSite>(threadLoop())), name_(options.name) {
    applyMaps(options.maps, options.device);
    if (!options.form.empty()) {
        form_ = std::make_unique<FormFile>(FormFile::load(options.form));
        ctrl_ = form_->contains(name_) ? VantrelCtrl::createFromStore(form_->bag(name_), site_)
                                       : VantrelCtrl::createNew(site_);
    } else {
        ctrl_ = VantrelCtrl::createNew(site_);
    }
    ctrl_->comm().setTrace([this, trace = options.trace](TraceDirection d, std::string_view b) {
        if (trace)
            printError("[" + clockText(true) + "] " + (d == TraceDirection::Written ? "> " : "< ") +
                       traceText(b));
        if (d == TraceDirection::Received && onReceived) onReceived(b);
    });
    // A loaded control leaves its serial component at the component's own settings until the
    // host assigns the two properties; the tool always does, so the loaded values take effect.
    ctrl_->Bauds(options.baud.value_or(ctrl_->Bauds()));
    if (!ctrl_->ErrorString().empty())
        printError("vantrel: baud rate " + std::to_string(ctrl_->Bauds()) + ": " +
                   ctrl_->ErrorString());
    const int32_t port = options.port.value_or(ctrl_->Port());
    ctrl_->Port(port);
    if (!ctrl_->ErrorString().empty())
        printError("vantrel: port " + std::to_string(port) + ": " + ctrl_->ErrorString());
}

Session::~Session() {
    ctrl_.reset();
}

bool Session::openPort() {
    if (ctrl_->PortIsOpen() && !ctrl_->comm().PortOpen()) ctrl_->ClosePort();
    if (ctrl_->OpenPort()) return true;
    const std::string path = PortMap::instance().devicePath(ctrl_->Port());
    printError("vantrel: COM" + std::to_string(ctrl_->Port()) + ": " + ctrl_->ErrorString() + " (" +
               deviceProblem(path) + ")");
    return false;
}

void Session::save() {
    if (!form_) throw Error(err::FormFile, "no form file given (--form FILE)");
    ctrl_->UserControl_WriteProperties(form_->bag(name_));
    form_->save();
}

ScanWatcher::ScanWatcher(Session& session, EventRecorder& events,
                         std::function<void(const Probe&)> onProbe)
    : session_(session), events_(events), onProbe_(std::move(onProbe)) {
    session.site().onPropertyChanged = [this](std::string_view name) {
        if (name != "Port") return;
        finish();
        current_ = session_.ctrl().Port();
    };
    events.live = [this](const EventRecorder::Event& e) {
        if (e.id != event_id::NewData || !current_) return;
        const bool answered = e.text.empty();
        report(answered ? "answered" : "not acknowledged: " + e.text, answered);
    };
}

ScanWatcher::~ScanWatcher() {
    session_.site().onPropertyChanged = nullptr;
    events_.live = nullptr;
}

void ScanWatcher::finish() {
    if (!current_) return;
    const std::string path = PortMap::instance().devicePath(*current_);
    report("not opened: " + deviceProblem(path), false);
}

void ScanWatcher::report(std::string outcome, bool answered) {
    Probe p{*current_, PortMap::instance().devicePath(*current_), std::move(outcome), answered};
    current_.reset();
    if (onProbe_) onProbe_(p);
    probes_.push_back(std::move(p));
}

std::string probeText(const Probe& p) {
    std::string line = "COM" + std::to_string(p.port);
    line.resize(6, ' ');
    line += p.device;
    line.resize(std::max<std::size_t>(line.size() + 2, 28), ' ');
    return line + p.outcome;
}

const char* eventName(int32_t id) {
    switch (id) {
        case event_id::InterruptLow:
            return "InterruptLow";
        case event_id::InterruptHigh:
            return "InterruptHigh";
        default:
            return "NewData";
    }
}

Json eventJson(const EventRecorder::Event& e) {
    Json j = {{"event", eventName(e.id)}};
    if (e.id == event_id::NewData) {
        j["value"] = variantJson(e.value);
        j["text"] = e.text;
    }
    return j;
}

std::string eventText(const EventRecorder::Event& e) {
    std::string text = eventName(e.id);
    if (e.id == event_id::NewData)
        text += "(" + variantText(e.value) + ", " + quotedText(e.text) + ")";
    return text;
}

StopSignals::StopSignals(EventLoop& loop) {
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    if (::sigprocmask(SIG_BLOCK, &mask, &old_) != 0)
        throw Error(err::EventLoopFailed, sysMessage("sigprocmask", "", errno));
    fd_.reset(::signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!fd_) {
        const int e = errno;
        ::sigprocmask(SIG_SETMASK, &old_, nullptr);
        throw Error(err::EventLoopFailed, sysMessage("signalfd", "", e));
    }
    watch_ = loop.watch(fd_.get(), EPOLLIN, [this](uint32_t) { drain(); });
}

StopSignals::~StopSignals() {
    watch_.reset();
    drain();
    ::sigprocmask(SIG_SETMASK, &old_, nullptr);
}

void StopSignals::drain() {
    signalfd_siginfo info;
    while (::read(fd_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        raised_ = true;
}

void pumpFor(EventLoop& loop, std::chrono::milliseconds duration,
             const std::function<bool()>& stop) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + duration;
    while (!stop()) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) return;
        // Round up, so the last pass does not end a fraction of a millisecond early.
        loop.pumpOnce(std::chrono::ceil<std::chrono::milliseconds>(left));
    }
}

std::string quotedText(std::string_view text) {
    return "\"" + escapeC(text, false) + "\"";
}

std::string variantText(const Variant& v) {
    switch (v.type()) {
        case VarType::Empty:
            return "Empty";
        case VarType::Null:
            return "Null";
        case VarType::String:
            return quotedText(v.asString());
        default:
            return v.toString();
    }
}

Json variantJson(const Variant& v) {
    switch (v.type()) {
        case VarType::Empty:
            return nullptr;
        case VarType::Null:
            return {{"type", "Null"}};
        case VarType::Integer:
            return v.asInteger();
        case VarType::Long:
            return v.asLong();
        case VarType::Double:
            return v.asDouble();
        case VarType::Currency:
            return v.toDouble();
        case VarType::String:
            return v.asString();
        case VarType::Boolean:
            return v.asBoolean();
    }
    return nullptr;
}

std::string clockText(bool micro) {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t t = system_clock::to_time_t(now);
    std::tm tm{};
    ::localtime_r(&t, &tm);
    const auto us = duration_cast<microseconds>(now.time_since_epoch()).count() % 1000000;
    char buf[64];
    if (micro)
        std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%06lld", tm.tm_hour, tm.tm_min, tm.tm_sec,
                      static_cast<long long>(us));
    else
        std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03lld", tm.tm_hour, tm.tm_min, tm.tm_sec,
                      static_cast<long long>(us / 1000));
    return buf;
}

std::string dateTimeText() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t t = system_clock::to_time_t(now);
    std::tm tm{};
    ::localtime_r(&t, &tm);
    const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03lld", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<long long>(ms));
    return buf;
}

std::string traceText(std::string_view bytes) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2 + 4);
    bool inText = false;
    for (char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F) {
            if (!inText) {
                if (!out.empty()) out += ' ';
                out += '"';
                inText = true;
            }
            if (c == '"' || c == '\\') out += '\\';
            out += c;
        } else {
            if (inText) out += '"';
            inText = false;
            if (!out.empty()) out += ' ';
            out += hex[u >> 4];
            out += hex[u & 15];
        }
    }
    if (inText) out += '"';
    return out;
}

void printJson(const Json& j) {
    printLine(j.dump(-1, ' ', false, Json::error_handler_t::replace));
}

void printLine(std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void printError(std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

}  // namespace vantrel::cli
