// vantrel command-line tool: the commands, their exit statuses and how main() runs them.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>

namespace vantrel::cli {

// Exit statuses of every command.
inline constexpr int kExitTrue = 0;
inline constexpr int kExitFalse = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitFailedCall = 3;

// A command: its part of the command line, and its entry point, which runs after the command
// line has been parsed and returns the exit status.
using Runner = std::function<int()>;
struct Subcommand {
    CLI::App* app;
    Runner run;
};

Subcommand addShell(CLI::App& app);
Subcommand addCmd(CLI::App& app);
Subcommand addRead(CLI::App& app);
Subcommand addSelftest(CLI::App& app);
Subcommand addFind(CLI::App& app);
Subcommand addResync(CLI::App& app);
Subcommand addConfig(CLI::App& app);
Subcommand addPorts(CLI::App& app);
Subcommand addMonitor(CLI::App& app);
Subcommand addDemo(CLI::App& app);
Subcommand addTerm(CLI::App& app);
Subcommand addLog(CLI::App& app);
Subcommand addDoctor(CLI::App& app);
Subcommand addServe(CLI::App& app);

}  // namespace vantrel::cli
