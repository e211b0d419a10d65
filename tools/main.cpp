// vantrel: the command-line tool. One subcommand a job; without one, the guided demo.
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "commands.hpp"
#include "output.hpp"
#include "signals.hpp"
#include "standard_descriptors.hpp"
#include "vantrel/error.hpp"

int main(int argc, char** argv) {
    using namespace vantrel::cli;
    vantrel::reserveStandardDescriptors();
    // A reader that goes away (read | head) ends a command through EPIPE, which lets it finish
    // what it owes standard error (read's summary) and close the port properly.
    std::signal(SIGPIPE, SIG_IGN);

    CLI::App app{
        "vantrel: drive an interface board and its 8-, 10- and 12-bit converters.\n"
        "Without a command, runs the demo on a simulated board.\n"
        "Exit status: 0 true, 1 false, 2 usage error, 3 failed call."};
    app.set_version_flag("--version", std::string("vantrel ") + VANTREL_VERSION);
    app.require_subcommand(0, 1);
    app.fallthrough(false);

    const std::vector<Subcommand> commands = {
        addDemo(app), addShell(app),  addCmd(app),    addRead(app),  addSelftest(app),
        addFind(app), addResync(app), addConfig(app), addPorts(app), addMonitor(app),
        addTerm(app), addLog(app),    addDoctor(app), addServe(app),
    };

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? kExitTrue : kExitUsage;
    }

    // A command stopped by SIGINT or SIGTERM ends with 128 + the signal's number.
    const auto stopped = [](int status) {
        const int bySignal = StopSignals::exitStatus();
        return bySignal != 0 ? bySignal : status;
    };
    try {
        for (const Subcommand& c : commands)
            if (c.app->parsed()) return stopped(c.run());
        return stopped(commands.front().run());  // the demo
    } catch (const OutputClosed& e) {
        // The reader of standard output has gone (a pipe closed early): nothing more to do.
        printError(std::string("vantrel: ") + e.what());
        return stopped(kExitFalse);
    } catch (const CLI::ParseError& e) {
        // Checks that need more than one option at once are made when the command runs.
        printError(std::string("vantrel: ") + e.what());
        return kExitUsage;
    } catch (const vantrel::Error& e) {
        printError("vantrel: error " + std::to_string(e.number()) + ": " + e.what());
        return stopped(kExitFailedCall);
    } catch (const std::exception& e) {
        printError(std::string("vantrel: ") + e.what());
        return stopped(kExitFailedCall);
    }
}
