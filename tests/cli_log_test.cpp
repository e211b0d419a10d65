// vantrel log as a process against simulated boards: signals, the service manager's socket,
// configuration errors, a killed recorder's files, export and status.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "child_process.hpp"
#include "fd.hpp"
#include "record.hpp"
#include "sim/sim_thread.hpp"
#include "test_support.hpp"

extern char** environ;

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using vantrel::testing::fileContents;
using vantrel::testing::TempDir;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

using vantrel::testing::within;

// The tool as a child process; standard output and error go to files of the scratch folder.
struct Tool : vantrel::testing::ChildProcess {
    Tool(const TempDir& dir, std::vector<std::string> args)
        : ChildProcess(withTool(std::move(args)), dir.file("tool.out"), dir.file("tool.err")) {}
    static std::vector<std::string> withTool(std::vector<std::string> args) {
        args.insert(args.begin(), VANTREL_CLI);
        return args;
    }
};

int run(const TempDir& dir, std::vector<std::string> args, std::string* out = nullptr,
        std::string* err = nullptr) {
    Tool tool(dir, std::move(args));
    const int status = tool.wait();
    if (out) *out = tool.out();
    if (err) *err = tool.err();
    return status;
}

std::vector<std::string> quickRun(const std::string& device, const std::string& out) {
    return {"log", "--device", device, "--channel", "10:3,12:11", "--period", "0.05", "--out", out};
}

// Every line of a CSV recording whole: eleven fields and its line end.
void expectWholeCsv(const std::string& text) {
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    for (const std::string& line : lines(text))
        EXPECT_EQ(std::count(line.begin(), line.end(), ','), 10) << line;
}

// The records of a database, 0 when it has none or cannot be read.
int64_t rowsOf(const std::string& path) {
    sqlite3* db = nullptr;
    int64_t n = 0;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT count(*) FROM readings", -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW)
            n = sqlite3_column_int64(s, 0);
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return n;
}

// "N records written" of a run's last message.
int64_t writtenOf(const std::string& err) {
    const std::size_t at = err.rfind(" records written");
    if (at == std::string::npos) return -1;
    const std::size_t start = err.rfind(' ', at - 1);
    return std::stoll(err.substr(start + 1, at - start - 1));
}

}  // namespace

TEST(CliLog, SignalsFlushAndCloseWithTheirExitStatus) {
    vantrel::sim::SimThread sim;
    for (const int signo : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signo);
        TempDir dir;
        const std::string out = dir.file("x.csv");
        Tool tool(dir, quickRun(sim.device(), out));
        ASSERT_TRUE(within(10s, [&] { return lines(fileContents(out)).size() > 4; }));
        tool.signal(signo);
        EXPECT_EQ(tool.wait(), 128 + signo) << tool.err();
        const std::string text = fileContents(out);
        expectWholeCsv(text);
        const std::size_t records = lines(text).size() - 1;
        EXPECT_NE(tool.err().find(std::to_string(records) + " records written to " + out),
                  std::string::npos)
            << tool.err();
    }
}

// A board that answers nothing at 300 baud holds each reading for its 8.3 s timeout: a second
// signal does not wait for it.
TEST(CliLog, ASecondSignalEndsAtOnce) {
    vantrel::sim::SimThread sim;
    sim.call([](vantrel::sim::PtyBoard& b) { b.engine().setSilent(true); });
    TempDir dir;
    const std::string out = dir.file("x.csv");
    Tool tool(
        dir, {"log", "--device", sim.device(), "--baud", "300", "--channel", "10:3", "--out", out});
    // The first reading has been asked for: the recorder waits for its reply.
    ASSERT_TRUE(within(10s, [&] {
        return sim.call([](vantrel::sim::PtyBoard& b) { return b.engine().commandCount(); }) > 0;
    }));
    tool.signal(SIGTERM);
    ASSERT_TRUE(within(
        10s, [&] { return tool.err().find("Ctrl-C again ends at once") != std::string::npos; }));
    tool.signal(SIGTERM);
    EXPECT_EQ(tool.wait(5s), -SIGTERM) << tool.err();
}

TEST(CliLog, ConfigurationErrorsStartNothing) {
    TempDir dir;
    const std::string config = dir.file("lab.toml");
    const std::string out = dir.file("x.csv");
    std::ofstream(config)
        << "out = \"" << out
        << "\"\n[[board]]\ndevice = \"/dev/null\"\n[[board.channel]]\nbits = 10\nchanel = 3\n";
    const std::string rate = dir.file("rate.toml");
    std::ofstream(rate) << "out = \"" << out
                        << "\"\n[[board]]\ndevice = \"/dev/null\"\nbaud = 9601\n"
                           "[[board.channel]]\nbits = 10\nchannel = 3\n";
    struct Case {
        std::vector<std::string> args;
        std::string said;
    };
    const Case cases[] = {
        {{"log", "--config", config}, config + ":6:1: board[1].channel[1].chanel: unknown key"},
        {{"log", "--config", config, "--device", "/dev/null"}, "exclude each other"},
        {{"log", "--device", "/dev/null", "--channel", "10:3", "--out", dir.file("x.txt")},
         "the output's extension says its kind"},
        {{"log", "--device", "/dev/null", "--channel", "10-3"}, "expected BITS:CH[,BITS:CH...]"},
        {{"log", "--device", "/dev/null", "--channel", "8:12"},
         "channel 12 of the 8-bit converter: must be 0 to 11"},
        // A rate the control refuses would be retried for ever.
        {{"log", "--config", rate},
         rate + ":4:1: board[1].baud: 9601: the rate must be one of 300, 600,"},
        {{"log", "--device", "/dev/null", "--channel", "10:3", "--baud", "9601"},
         "baud 9601: the rate must be one of 300, 600,"},
        {{"log", "--config", dir.file("none.toml")},
         "none.toml: cannot be read: No such file or directory"},
        {{"log", "export", dir.file("x.sqlite"), "--csv", "--from", "08/12/2026"},
         "expected a UTC time"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        std::string err;
        EXPECT_EQ(run(dir, c.args, nullptr, &err), 2);
        EXPECT_NE(err.find(c.said), std::string::npos) << err;
        EXPECT_FALSE(fs::exists(out));
        EXPECT_FALSE(fs::exists(out + ".status.json"));
    }
}

TEST(CliLog, KillNineLeavesTheDatabaseAndEveryLineIntact) {
    vantrel::sim::SimThread a, b;
    TempDir dir;
    const std::string db = dir.file("x.sqlite");
    const std::string csv = dir.file("x.csv");
    Tool toDb(dir, quickRun(a.device(), db));
    Tool toCsv(dir, quickRun(b.device(), csv));
    ASSERT_TRUE(
        within(10s, [&] { return lines(fileContents(csv)).size() > 10 && rowsOf(db) > 0; }));
    toDb.signal(SIGKILL);
    toCsv.signal(SIGKILL);
    EXPECT_EQ(toDb.wait(), -SIGKILL);
    EXPECT_EQ(toCsv.wait(), -SIGKILL);
    expectWholeCsv(fileContents(csv));
    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &handle), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(handle,
                                 "SELECT (SELECT integrity_check FROM pragma_integrity_check),"
                                 " (SELECT count(*) FROM readings)",
                                 -1, &s, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(handle);
    ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)), "ok");
    EXPECT_GT(sqlite3_column_int(s, 1), 0);
    sqlite3_finalize(s);
    sqlite3_close(handle);
}

TEST(CliLog, TellsTheServiceManagerAndReopensOnHangUp) {
    vantrel::sim::SimThread sim;
    TempDir dir;
    const std::string socketPath = dir.file("notify");
    const vantrel::Fd listener(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    const auto next = [&] {
        pollfd p{listener.get(), POLLIN, 0};
        char text[256] = {};
        if (::poll(&p, 1, 10000) != 1) return std::string("(nothing)");
        return std::string(text, static_cast<std::size_t>(std::max<ssize_t>(
                                     0, ::recv(listener.get(), text, sizeof text, 0))));
    };
    const vantrel::testing::ScopedEnv notify("NOTIFY_SOCKET", socketPath);
    const std::string out = dir.file("x.jsonl");
    Tool tool(dir, quickRun(sim.device(), out));
    EXPECT_EQ(next(), "READY=1\nSTATUS=recording");
    ASSERT_TRUE(within(10s, [&] { return lines(fileContents(out)).size() > 2; }));
    // A log rotation tool moves the file away and asks for a new one.
    fs::rename(out, dir.file("x.old.jsonl"));
    tool.signal(SIGHUP);
    ASSERT_TRUE(within(10s, [&] { return lines(fileContents(out)).size() > 2; })) << tool.err();
    tool.signal(SIGTERM);
    EXPECT_EQ(tool.wait(), 143) << tool.err();
    EXPECT_EQ(next(), "STOPPING=1");
    EXPECT_NE(tool.err().find("reopening " + out), std::string::npos);
    const std::size_t total =
        lines(fileContents(out)).size() + lines(fileContents(dir.file("x.old.jsonl"))).size();
    EXPECT_NE(tool.err().find(std::to_string(total) + " records written"), std::string::npos)
        << tool.err();
}

TEST(CliLog, ExportAndStatusOfARun) {
    vantrel::sim::SimThread sim;
    TempDir dir;
    const std::string db = dir.file("x.sqlite");
    std::vector<std::string> args = quickRun(sim.device(), db);
    args.insert(args.end(), {"--duration", "0.5"});
    std::string err;
    ASSERT_EQ(run(dir, args, nullptr, &err), 0) << err;
    std::string status;
    EXPECT_EQ(run(dir, {"log", "status", db}, &status, &err), 1) << err;
    // The run has ended: status says so, with what each board did.
    EXPECT_NE(status.find("recorder not running"), std::string::npos) << status;
    EXPECT_NE(
        status.find("board " + sim.device() + " (" + sim.device() + "): stopped; last reading "),
        std::string::npos)
        << status;
    EXPECT_NE(status.find(" readings, 0 errors, "), std::string::npos) << status;
    EXPECT_NE(status.find(", 0 gaps, 0 reconnects"), std::string::npos) << status;
    // A board that never answered: no last reading to show, and one gap.
    const std::string none = dir.file("none.csv");
    const std::string unplugged = dir.file("unplugged");
    args = quickRun(unplugged, none);
    args.insert(args.end(), {"--duration", "0.3"});
    ASSERT_EQ(run(dir, args, nullptr, &err), 0) << err;
    std::string away;
    EXPECT_EQ(run(dir, {"log", "status", none}, &away, &err), 1) << err;
    EXPECT_NE(away.find("board " + unplugged + " (" + unplugged +
                        "): stopped; no reading yet; 0 readings, 0 errors, "),
              std::string::npos)
        << away;
    EXPECT_NE(away.find(", 1 gap, 0 reconnects; last error: "), std::string::npos) << away;
    const std::size_t at = status.find("output " + db + ": ");
    ASSERT_NE(at, std::string::npos) << status;
    const int written = std::stoi(status.substr(at + db.size() + 9));
    EXPECT_GT(written, 0);
    std::string csv;
    ASSERT_EQ(run(dir, {"log", "export", db, "--csv", "--from", "2000-01-01", "--to", "2999-01-01"},
                  &csv, &err),
              0)
        << err;
    expectWholeCsv(csv);
    EXPECT_EQ(lines(csv).front(), "time,mono,board,bits,channel,name,raw,value,unit,status,text");
    EXPECT_EQ(lines(csv).size(), static_cast<std::size_t>(written) + 1);
    ASSERT_EQ(run(dir, {"log", "export", db, "--csv", "--to", "2000-01-01"}, &csv, &err), 0) << err;
    EXPECT_EQ(lines(csv).size(), 1u);
}

TEST(CliLog, TheRotationRecipeKeepsEveryRecordOfADatabase) {
    vantrel::sim::SimThread sim;
    TempDir dir;
    const std::string db = dir.file("g.sqlite");
    Tool tool(dir, quickRun(sim.device(), db));
    ASSERT_TRUE(within(10s, [&] { return rowsOf(db) > 5; })) << tool.err();
    // docs/log.md's commands, as a rotation script runs them.
    const auto status = nlohmann::json::parse(fileContents(db + ".status.json"));
    vantrel::testing::ChildProcess script(
        {"/bin/bash", "-c",
         "set -e; cd " + dir.path.string() + "; mv g.sqlite g.sqlite.1; kill -HUP " +
             std::to_string(status["pid"].get<int64_t>()) +
             "; flock -w 60 g.sqlite.1 gzip g.sqlite.1; gzip -dc g.sqlite.1.gz > back.sqlite"},
        dir.file("script.out"), dir.file("script.err"), {});
    ASSERT_EQ(script.wait(), 0) << fileContents(dir.file("script.err"));
    std::string out, err;
    ASSERT_TRUE(within(10s, [&] { return rowsOf(db) > 5; })) << tool.err();
    // A copy taken while the recorder writes holds what was committed when it began.
    const int64_t before = rowsOf(db);
    ASSERT_EQ(run(dir, {"log", "snapshot", db, dir.file("copy.sqlite")}, &out, &err), 0) << err;
    EXPECT_FALSE(fs::exists(dir.file("copy.sqlite-wal")));
    const int64_t copied = rowsOf(dir.file("copy.sqlite"));
    EXPECT_GE(copied, before);
    EXPECT_NE(err.find(std::to_string(copied) + " records copied to "), std::string::npos) << err;
    tool.signal(SIGTERM);
    EXPECT_EQ(tool.wait(), 143) << tool.err();
    const int64_t archived = rowsOf(dir.file("back.sqlite"));
    EXPECT_GT(archived, 5);
    EXPECT_EQ(archived + rowsOf(db), writtenOf(tool.err())) << tool.err();
    EXPECT_GE(rowsOf(db), copied);
}

TEST(CliLog, ASecondRecorderOfOneFileIsRefused) {
    vantrel::sim::SimThread sim;
    TempDir dir;
    for (const std::string name : {"x.sqlite", "x.csv"}) {
        const std::string path = dir.file(name);
        Tool first(dir, quickRun(sim.device(), path));
        ASSERT_TRUE(within(10s, [&] { return fs::exists(path + ".status.json"); }));
        std::string err;
        std::vector<std::string> args = quickRun(dir.file("unplugged"), path);
        args.insert(args.end(), {"--status", dir.file("second.status.json")});
        EXPECT_EQ(run(dir, args, nullptr, &err), 3) << err;
        EXPECT_NE(err.find(path + ": another recorder is writing to it"), std::string::npos) << err;
        first.signal(SIGTERM);
        EXPECT_EQ(first.wait(), 143) << first.err();
    }
}

TEST(CliLog, ExportsAsCsvOrJsonLines) {
    vantrel::sim::SimThread sim;
    TempDir dir;
    const std::string db = dir.file("x.sqlite");
    std::vector<std::string> args = quickRun(sim.device(), db);
    args.insert(args.end(), {"--duration", "0.3"});
    std::string err, csv, jsonl;
    ASSERT_EQ(run(dir, args, nullptr, &err), 0) << err;
    ASSERT_EQ(run(dir, {"log", "export", db}, &csv, &err), 0) << err;
    ASSERT_EQ(run(dir, {"log", "export", db, "--jsonl"}, &jsonl, &err), 0) << err;
    const std::vector<std::string> rows = lines(csv), objects = lines(jsonl);
    ASSERT_EQ(rows.size(), objects.size() + 1);
    ASSERT_GT(objects.size(), 2u);
    // The same records in both, line for line: time and raw reading.
    for (std::size_t i = 0; i < objects.size(); ++i) {
        const auto j = nlohmann::json::parse(objects[i]);
        EXPECT_EQ(rows[i + 1].substr(0, rows[i + 1].find(',')), j["time"].get<std::string>());
        EXPECT_NE(
            rows[i + 1].find("," + vantrel::acquire::numberText(j["raw"].get<double>()) + ","),
            std::string::npos)
            << rows[i + 1];
    }
    EXPECT_EQ(run(dir, {"log", "export", db, "--csv", "--jsonl"}, nullptr, &err), 2) << err;
}

TEST(CliLog, SaysOnceWhenABoardCannotOpenGoesAwayAndComesBack) {
    TempDir dir;
    const std::string link = dir.file("board");
    const std::string out = dir.file("x.csv");
    const auto count = [](const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos;
             at = text.find(what, at + 1))
            ++n;
        return n;
    };
    Tool tool(dir, quickRun(link, out));
    const std::string who = link + ": ";
    ASSERT_TRUE(within(10s, [&] { return count(tool.err(), who + "cannot be opened: ") == 1; }))
        << tool.err();
    EXPECT_NE(tool.err().find("No such file or directory"), std::string::npos) << tool.err();
    // Rounds go on looking for it (each a gap that is not said again) until it is there.
    auto first = std::make_unique<vantrel::sim::SimThread>();
    fs::create_symlink(first->device(), link);
    ASSERT_TRUE(within(10s, [&] { return count(tool.err(), who + "opened; recording") == 1; }))
        << tool.err();
    ASSERT_TRUE(within(10s, [&] { return lines(fileContents(out)).size() > 4; }));
    first->call([](vantrel::sim::PtyBoard& board) { board.hangUp(); });
    ASSERT_TRUE(within(10s, [&] { return count(tool.err(), who + "went away: ") == 1; }))
        << tool.err();
    first.reset();
    vantrel::sim::SimThread second;
    fs::remove(link);
    fs::create_symlink(second.device(), link);
    ASSERT_TRUE(within(10s, [&] { return count(tool.err(), who + "opened; recording") == 2; }))
        << tool.err();
    tool.signal(SIGTERM);
    EXPECT_EQ(tool.wait(), 143) << tool.err();
    EXPECT_EQ(count(tool.err(), "cannot be opened"), 1u) << tool.err();
    EXPECT_EQ(count(tool.err(), "went away"), 1u) << tool.err();
    EXPECT_NE(tool.err().find(", 2 gaps, 1 reconnect"), std::string::npos) << tool.err();

    // A device another program holds: the reason is said as `vantrel read` says it.
    vantrel::sim::SimThread busy;
    const vantrel::Fd holder(::open(busy.device().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(holder);
    ASSERT_EQ(::flock(holder.get(), LOCK_EX | LOCK_NB), 0);
    std::vector<std::string> args = quickRun(busy.device(), dir.file("busy.csv"));
    args.insert(args.end(), {"--duration", "0.3"});
    std::string err;
    EXPECT_EQ(run(dir, args, nullptr, &err), 0) << err;
    EXPECT_EQ(count(err, busy.device() + ": cannot be opened: "), 1u) << err;
    EXPECT_NE(err.find("in use"), std::string::npos) << err;
}

namespace {

// One request to the live page on a connection of its own, as a browser would send it with
// `fields`; the reply's status and body.
std::pair<int, std::string> pageRequest(uint16_t port, const std::string& line,
                                        const std::string& fields) {
    vantrel::Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return {0, ""};
    const std::string request = line + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nContent-Length: 0\r\n" + fields + "\r\n";
    if (::send(s.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size()))
        return {0, ""};
    std::string reply;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    char buf[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{s.get(), POLLIN, 0};
        if (::poll(&p, 1, 200) != 1) continue;
        const ssize_t n = ::recv(s.get(), buf, sizeof buf, 0);
        if (n <= 0) break;
        reply.append(buf, static_cast<std::size_t>(n));
    }
    if (reply.size() < 12) return {0, reply};
    const auto body = reply.find("\r\n\r\n");
    return {std::stoi(reply.substr(9, 3)),
            body == std::string::npos ? std::string() : reply.substr(body + 4)};
}

}  // namespace

// Notes from the tool (through the socket the status file names) and from the page's field
// land in the recording with their times, and come out of both exports; a note the recorder
// cannot take, or a post from another site, writes nothing.
TEST(CliLog, NotesFromTheToolAndThePageLandInTheRecording) {
    vantrel::sim::SimThread sim;
    TempDir dir;
    const std::string db = dir.file("lab.sqlite");
    const uint16_t port = vantrel::testing::freeLoopbackPort();
    std::vector<std::string> args = quickRun(sim.device(), db);
    args.insert(args.end(), {"--http", std::to_string(port)});
    Tool recorder(dir, args);
    const std::string status = db + ".status.json";
    ASSERT_TRUE(within(20s, [&] {
        return fs::exists(status) && fileContents(status).find("\"notes\": ") != std::string::npos;
    })) << recorder.err();

    TempDir other;
    std::string out, err;
    ASSERT_EQ(run(other, {"log", "note", "sample B in", "--status", status}, &out, &err), 0) << err;
    ASSERT_EQ(out.rfind("note at ", 0), 0u) << out;
    const std::string toolTime = out.substr(8, 24);
    // By the output's name too, as `log status` takes it; text with a comma and a quote.
    ASSERT_EQ(run(other, {"log", "note", "pump \"A\", off", "--status", db}, &out, &err), 0) << err;
    struct Refused {
        std::string text;
        int exit;
        const char* says;
    };
    for (const Refused& r :
         {Refused{"", 2, "a note needs some text"}, Refused{"bell\a", 2, "no control characters"},
          Refused{std::string(1001, 'x'), 2, "at most 1000 bytes"}}) {
        EXPECT_EQ(run(other, {"log", "note", r.text, "--status", status}, nullptr, &err), r.exit);
        EXPECT_NE(err.find(r.says), std::string::npos) << err;
    }
    const auto [pageStatus, pageBody] =
        pageRequest(port, "POST /note?text=" + std::string("from%20the%20page"),
                    "X-Requested-With: vantrel\r\n");
    ASSERT_EQ(pageStatus, 200) << pageBody;
    const std::string pageTime = nlohmann::json::parse(pageBody)["time"];
    for (const auto& [fields, expect] :
         {std::pair<std::string, int>{"", 403},
          {"X-Requested-With: vantrel\r\nOrigin: http://evil.example\r\n", 403},
          {"X-Requested-With: vantrel\r\nOrigin: http://127.0.0.1:" + std::to_string(port) + "\r\n",
           400}})
        EXPECT_EQ(pageRequest(port, "POST /note?text=%20", fields).first, expect) << fields;
    EXPECT_EQ(pageRequest(port, "POST /data", "X-Requested-With: vantrel\r\n").first, 405);

    recorder.signal(SIGTERM);
    ASSERT_EQ(recorder.wait(20s), 128 + SIGTERM) << recorder.err();
    EXPECT_FALSE(fs::exists(db + ".notes.sock"));
    EXPECT_EQ(run(other, {"log", "note", "too late", "--status", status}, nullptr, &err), 3);
    EXPECT_NE(err.find("the recorder is not running"), std::string::npos) << err;

    std::string csv, jsonl;
    ASSERT_EQ(run(dir, {"log", "export", db}, &csv, &err), 0) << err;
    ASSERT_EQ(run(dir, {"log", "export", db, "--jsonl"}, &jsonl, &err), 0) << err;
    std::vector<std::string> csvNotes, jsonNotes;
    for (const std::string& line : lines(csv))
        if (line.find(",note,") != std::string::npos) csvNotes.push_back(line);
    for (const std::string& line : lines(jsonl)) {
        const auto j = nlohmann::json::parse(line);
        if (j["status"] == "note")
            jsonNotes.push_back(j["time"].get<std::string>() + " " + j["text"].get<std::string>());
    }
    ASSERT_EQ(csvNotes.size(), 3u) << csv.substr(0, 2000);
    EXPECT_EQ(csvNotes[0].substr(0, 24), toolTime);
    EXPECT_NE(csvNotes[0].find(",,0,0,,,,,note,sample B in"), std::string::npos) << csvNotes[0];
    EXPECT_NE(csvNotes[1].find(",note,\"pump \"\"A\"\", off\""), std::string::npos) << csvNotes[1];
    EXPECT_EQ(jsonNotes,
              (std::vector<std::string>{toolTime + " sample B in",
                                        jsonNotes.at(1).substr(0, 24) + " pump \"A\", off",
                                        pageTime + " from the page"}));
}
