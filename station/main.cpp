// station: programs every fixture of a production station at once, through
// one host per fixture, and keeps a record of every board. Its main only
// wires the command line to the table of commands and tells a fault once.
#include "station/commands.h"
#include "station/base/base.h"

#include <CLI/CLI.hpp>

#include <csignal>

int main(int argc, char* argv[]) {
    signal(SIGPIPE, SIG_IGN);
    watch_for_stops();
    CLI::App app{"station: programs every fixture at once and records every board"};
    app.require_subcommand(1);
    Options options;
    app.add_option("-f,--file", options.file, "the station file (default station.toml)");
    app.set_version_flag(
        "--version", [] { return version_text(); },
        "the station's release and that of the host it finds beside it");
    std::vector<std::pair<CLI::App*, const Command*>> wired;
    for (const Command& command : commands()) {
        CLI::App* sub = app.add_subcommand(command.name, command.help);
        command.add_options(*sub, options);
        wired.push_back({sub, &command});
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        int status = app.exit(error);
        return status == 0 ? 0 : 2;
    }
    try {
        for (const auto& [sub, command] : wired) {
            if (sub->parsed()) {
                return run_command(*command, options);
            }
        }
    } catch (const StationError& error) {
        if (!error.message.empty()) {
            say_on_stderr(error.message);
        }
        return error.status;
    } catch (const std::exception& error) {
        say_on_stderr(error.what());
    }
    return 2;
}
