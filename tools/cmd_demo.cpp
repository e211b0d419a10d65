// vantrel demo: a guided tour on a simulated board that runs inside this process, on the same
// event loop as the control, behind a pseudo-terminal mapped to COM3.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "channels.hpp"
#include "commands.hpp"
#include "events.hpp"
#include "options.hpp"
#include "output.hpp"
#include "scan.hpp"
#include "session.hpp"
#include "signals.hpp"
#include "sim/pty_board.hpp"

namespace vantrel::cli {

namespace {

struct DemoOptions {
    bool trace = false;
};

// A temporary folder that removes itself.
class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vantrel-demo-XXXXXX");
        if (::mkdtemp(pattern.data()) == nullptr)
            throw Error(err::FormFile, sysMessage("mkdtemp", pattern, errno));
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

class Demo {
  public:
    Demo(const DemoOptions& o, sim::PtyBoard& board, const TempDir& dir)
        : board_(board), dir_(dir), session_(options(o, board, dir)) {
        ctrl().connect(&events_);
    }
    ~Demo() { ctrl().disconnect(&events_); }

    void run() {
        intro();
        find();
        commands();
        readings();
        movingInputs();
        selfTest();
        resync();
        interrupt();
        form();
        say("");
        say("That was the whole system. Next: vantrel --help, docs/cli.md, and with a real board");
        say("  vantrel find --device /dev/ttyUSB0 --baud 115200");
    }

  private:
    static ControlOptions options(const DemoOptions& o, sim::PtyBoard& board, const TempDir& dir) {
        ControlOptions c;
        // Nothing on COM1 and COM2 (paths that do not exist), the board on COM3.
        c.maps = {"1=" + (dir.path() / "nothing-on-com1").string(),
                  "2=" + (dir.path() / "nothing-on-com2").string(), "3=" + board.slavePath()};
        c.trace = o.trace;
        return c;
    }

    VantrelCtrl& ctrl() { return session_.ctrl(); }

    static void say(std::string_view text) { printLine(text); }
    static void heading(std::string_view text) {
        say("");
        say(text);
        say(std::string(text.size(), '-'));
    }

    // The events the last call raised, on one line.
    void showEvents() {
        std::string line;
        for (const auto& e : events_.take()) line += (line.empty() ? "" : ", ") + eventText(e);
        say("      events: " + (line.empty() ? std::string("none") : line));
    }

    // The command lines the board received since the last look.
    void showLines() {
        const auto& lines = board_.lines();
        const std::size_t first = board_.engine().linesRecorded() - lines.size();
        std::string text;
        for (std::size_t i = std::max(seenLines_, first) - first; i < lines.size(); ++i)
            text += (text.empty() ? "" : " ") + quotedText(lines[i]);
        seenLines_ = board_.engine().linesRecorded();
        say("      board received: " + (text.empty() ? std::string("nothing") : text));
    }

    void intro() {
        say("vantrel demo: a simulated interface board on a pseudo-terminal, driven by a");
        say("VantrelCtrl control exactly as a real board on a serial port would be.");
        say("");
        say("  board device   " + board_.slavePath() + "  (mapped to COM3)");
        say("  COM1, COM2     mapped to paths that do not exist");
        say("The board answers each command line with \"OK <n>\" or \"?<code> <text>\", then "
            "\">\".");
    }

    void find() {
        // 9600 baud: a 260 ms reply window, so that the tour also runs on a busy machine.
        heading("1. Finding the board: FindChip(9600) tries COM1 to COM8");
        int32_t baud = 9600;
        bool found = false;
        {
            ScanWatcher watcher(session_, events_,
                                [](const Probe& p) { say("   " + probeText(p)); });
            found = ctrl().FindChip(baud);
            watcher.finish();
        }
        events_.take();
        say(std::string("   FindChip -> ") + (found ? "True" : "False") + ": Port " +
            std::to_string(ctrl().Port()) + ", Bauds " + std::to_string(ctrl().Bauds()) +
            ", PortIsOpen " + (ctrl().PortIsOpen() ? "True" : "False"));
        showLines();
        if (!found) throw Error(err::PortOpenFailed, "the simulated board did not answer");
    }

    void command(std::string text, std::string_view why) {
        say("   Command(" + quotedText(text) + ")   " + std::string(why));
        const bool result = ctrl().Command(text);
        say(std::string("      -> ") + (result ? "True" : "False") + ", ErrorNr " +
            std::to_string(ctrl().ErrorNr()) + ", ErrorString " + quotedText(ctrl().ErrorString()) +
            ", s " + quotedText(text) + ", reply " + quotedText(ctrl().ReturnedStr()));
        showEvents();
    }

    void commands() {
        heading("2. Command: one command line, its reply turned into a value or an error");
        command("PRA", "the probe: acknowledged");
        board_.engine().refuseSetup(1);
        command("PCSA128", "the set-up, which this board refuses once: a board error");
        command("HELLO", "a command the board does not know");
        seenLines_ = board_.engine().linesRecorded();
    }

    void reading(int bits, int16_t channel, std::string_view why) {
        say("   ADC" + std::to_string(bits) + "(" + std::to_string(channel) +
            "): " + std::string(why));
        const Converter& converter = *findConverter(bits);
        int16_t arg = channel;
        const int before = events_.newDataCount;
        const bool result = (ctrl().*converter.convert)(arg);
        std::string line = std::string("      -> ") + (result ? "True" : "False") + ", reading " +
                           (result && events_.newDataCount > before ? variantText(events_.lastValue)
                                                                    : std::string(kMissingText));
        if (converter.writesAddressBack && arg != channel)
            line += ", Channel now holds " + std::to_string(arg);
        // The 8-bit conversion refuses a channel without a word in ErrorString.
        const std::string refusal =
            result || converter.refusal ? "" : channelRefusal(converter, channel);
        if (!refusal.empty())
            line += ", " + refusal;
        else if (!ctrl().ErrorString().empty())
            line += ", " + quotedText(ctrl().ErrorString());
        say(line);
        events_.take();
        showLines();
    }

    void readings() {
        heading("3. Conversions: a channel of each converter");
        board_.engine().setReading(10, 2, 800);
        board_.engine().setReading(10, 3, 805.25);
        board_.engine().setReading(12, 5, 3071.5625);
        say("   The simulated board holds: 10-bit channel 2 = 800, channel 3 = 805.25, 12-bit");
        say("   channel 5 = 3071.5625. Its 8-bit reads come from the 10-bit converter's top 8");
        say("   bits, so 8-bit channel 2 reads 800 / 4 = 200.");
        say("   The first conversion sets the board up (PCSA128). The control remembers the last");
        say("   channel or address of each converter and skips the address write while it stays");
        say("   the same (a cache hit).");
        reading(8, 2, "the first conversion: set-up, address write, one read");
        reading(8, 2, "the same channel again: a cache hit, one read only");
        reading(10, 3,
                "address word 3 x 16 = 48: address write, a read that starts the "
                "conversion, two reads");
        reading(10, 3, "the same address: a cache hit, two reads only");
        reading(12, 5, "12 bits: address word 5 x 16 + 12 = 92");
        reading(10, 4, "another 10-bit channel: a miss, the address is written again");
        reading(8, 12, "there is no 8-bit channel 12: refused, nothing is sent");
    }

    // The readings of one channel, one every `every`, on one line.
    void series(int bits, int16_t channel, int count, std::chrono::milliseconds every) {
        const Converter& converter = *findConverter(bits);
        std::string line = "   ADC" + std::to_string(bits) + "(" + std::to_string(channel) + "):";
        for (int i = 0; i < count; ++i) {
            if (i > 0) pumpFor(session_.loop(), every, [] { return false; });
            int16_t arg = channel;
            const bool result = (ctrl().*converter.convert)(arg);
            line += " " + (result && !events_.lastValue.isEmpty() ? variantText(events_.lastValue)
                                                                  : std::string(kMissingText));
        }
        say(line);
        events_.take();
    }

    void movingInputs() {
        heading("3b. Inputs that move");
        board_.engine().setInput(10, 6, sim::parseInput({"sine", "512", "400", "1s"}));
        say("   Real inputs move between two conversions. 10-bit channel 6 now carries a sine");
        say("   (512 +- 400, period 1 s), 12-bit channel 9 a ramp (0 to 4000 each second); a");
        say("   conversion samples its input when it starts, and the two bytes of a reading");
        say("   always come from that one conversion. A reading every 100 ms:");
        series(10, 6, 10, std::chrono::milliseconds(100));
        board_.engine().setInput(12, 9, sim::parseInput({"ramp", "0", "4000", "1s"}));
        series(12, 9, 10, std::chrono::milliseconds(100));
        say("   vantrel-sim --input \"10 6 sine 512 400 1s\" sets the same from the start, and");
        say("   its console's \"input\" while it runs (\"help\" lists ramp, sine, square, step,");
        say("   noise and alternate); --log FILE writes every conversion it made.");
        seenLines_ = board_.engine().linesRecorded();
    }

    void check(int bits, Scale scale) {
        static const char* names[] = {"ADCZeroScale", "ADCHalfScale", "ADCFullScale"};
        Variant nrOfBits(static_cast<int16_t>(bits));
        const bool passed = (ctrl().*scaleTestMember(scale))(nrOfBits);
        std::string line = std::string("   ") + names[static_cast<int>(scale)] + "(" +
                           std::to_string(bits) + ") -> " + (passed ? "pass" : "FAIL");
        const bool haveReading = passed || ctrl().ErrorString().starts_with("Returned value: ");
        if (haveReading && events_.newDataCount)
            line += ", reading " + variantText(events_.lastValue);
        if (!ctrl().ErrorString().empty()) line += ", " + quotedText(ctrl().ErrorString());
        say(line);
        events_.take();
    }

    void selfTest() {
        heading("4. Self-test: each converter against its own reference inputs");
        say("   Channels 11, 12 and 13 are the half-, zero- and full-scale references; each");
        say("   check converts one and tests the reading against a fixed window.");
        for (const Converter& converter : converters())
            for (const ReferenceCheck& c : converter.checks) check(converter.bits, c.scale);
        say("   Now the 10-bit half-scale reference reads 523.25 (window 502..522):");
        board_.engine().setReading(10, 11, 523.25);
        check(10, Scale::Half);
        board_.engine().clearReading(10, 11);
        seenLines_ = board_.engine().linesRecorded();
    }

    void resync() {
        heading("5. A converter out of step, and ADCReSynchronize");
        board_.engine().setOutOfStep(true);
        say("   The 10-bit converter now delivers its bytes one position late:");
        check(10, Scale::Half);
        seenLines_ = board_.engine().linesRecorded();
        say("   ADCReSynchronize works on the converter used last (10 bits): a failed test, then");
        say("   PCSA128, a test, PRS and a final test.");
        const bool result = ctrl().ADCReSynchronize();
        say(std::string("   ADCReSynchronize -> ") + (result ? "True" : "False") + ", reading " +
            (events_.newDataCount && !events_.lastValue.isEmpty() ? variantText(events_.lastValue)
                                                                  : std::string(kMissingText)) +
            (ctrl().ErrorString().empty() ? "" : ", " + quotedText(ctrl().ErrorString())));
        showEvents();
        showLines();
        check(10, Scale::Half);
    }

    void interrupt() {
        heading("6. Interrupts: the board sends \"L\" of its own accord");
        events_.take();
        bool seen = false;
        events_.live = [&](const EventRecorder::Event& e) {
            say("   event " + eventText(e) + " (between calls, from the event loop)");
            seen = seen || e.id == event_id::InterruptLow;
        };
        board_.sendUnsolicited("L\r\n");
        pumpFor(session_.loop(), std::chrono::seconds(2), [&] { return seen; });
        events_.live = nullptr;
        say("   ReturnedStr now holds " + quotedText(ctrl().ReturnedStr()) +
            "; the next Command empties it.");
        if (!seen) throw Error(err::PortIo, "the interrupt did not arrive");
    }

    void form() {
        heading("7. Saving and loading the form");
        const std::filesystem::path file = dir_.path() / "form.toml";
        {
            FormFile f = FormFile::load(file.string());
            ctrl().UserControl_WriteProperties(f.bag("VantrelCtrl1"));
            f.save();
        }
        say("   UserControl_WriteProperties into " + file.filename().string() + ":");
        std::ifstream in(file);
        for (std::string line; std::getline(in, line);) say("      " + line);
        say("   ClosePort, then a second control loaded from the file:");
        ctrl().ClosePort();
        FormFile f = FormFile::load(file.string());
        std::unique_ptr<VantrelCtrl> copy = VantrelCtrl::createFromStore(f.bag("VantrelCtrl1"));
        say("      Port " + std::to_string(copy->Port()) + ", Bauds " +
            std::to_string(copy->Bauds()) + ", PortIsOpen " +
            (copy->PortIsOpen() ? "True" : "False"));
        say("   The stored flag says open, but a loaded control opens nothing: ClosePort clears");
        say("   the flag, then Bauds, Port and OpenPort put it on the line.");
        copy->ClosePort();
        copy->Bauds(copy->Bauds());
        copy->Port(copy->Port());
        const bool opened = copy->OpenPort();
        std::string s = "PRA";
        const bool answered = opened && copy->Command(s);
        say(std::string("      OpenPort -> ") + (opened ? "True" : "False") +
            ", Command(\"PRA\") -> " + (answered ? "True" : "False"));
        if (!answered) throw Error(err::PortIo, "the reloaded control did not reach the board");
    }

    sim::PtyBoard& board_;
    const TempDir& dir_;
    Session session_;
    EventRecorder events_;
    std::size_t seenLines_ = 0;  // lines the board had recorded at the last look
};

int runDemo(const DemoOptions& o) {
    const auto start = std::chrono::steady_clock::now();
    TempDir dir;
    sim::PtyBoard board(threadLoop());
    {
        Demo demo(o, board, dir);
        demo.run();
    }
    PortMap::instance().clear();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    printLine("(demo took " + std::to_string(ms.count()) + " ms)");
    return kExitTrue;
}

}  // namespace

Subcommand addDemo(CLI::App& app) {
    auto o = std::make_shared<DemoOptions>();
    CLI::App* sub = app.add_subcommand(
        "demo", "A guided tour on a simulated board inside this process (the default)");
    sub->add_flag("--trace", o->trace, "show every block of bytes written and received on stderr");
    return {sub, [o] { return runDemo(*o); }};
}

}  // namespace vantrel::cli
