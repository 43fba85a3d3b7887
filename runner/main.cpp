// orvelin-host: the game and its loader in one process, for running a plug-in without the game.
// The working directory is the game folder.

#include "loader/loader.hpp"
#include "platform/memory.hpp"
#include "platform/process.hpp"
#include "runner/engine_image.hpp"
#include "runner/session.hpp"

#include "orvelin_version.hpp"

#include <CLI/CLI.hpp>

#include <iostream>

int main(int argc, char** argv) {
    CLI::App app{"Plays a short game session with a plug-in loaded, as the game and its loader "
                 "would. The working directory is the game folder.",
                 "orvelin-host"};
    std::string plugin = platform::executableDirectory() + ORVELIN_MODULE_FILE;
    app.add_option("--plugin", plugin,
                   "Plug-in module to load (default: the one beside this program)");
    unsigned sessions = 1;
    app.add_option(
           "--sessions", sessions,
           "Sessions to play one after another, loading and unloading the plug-in each time")
        ->check(CLI::Range(1u, 1000000u));
    int changedInstruction = 0;
    app.add_option("--changed-instruction", changedInstruction,
                   "Play a game build in which the instruction referring to engine global 1, 2 "
                   "or 3 changed, as after a game update: the plug-in's pattern misses it")
        ->check(CLI::Range(1, 3));
    bool memoryReport = false;
    app.add_flag("--memory-report", memoryReport,
                 "Print the resident memory after the first and the last session");
    app.set_version_flag("--version", std::string("orvelin-host ") + orvelin_build::version);
    CLI11_PARSE(app, argc, argv);

    runner::startEngine();
    if (changedInstruction != 0) {
        runner::changeInstruction(changedInstruction);
    }
    SML::Host::openLogFile(SML::Host::logFileName);
    bool played = true;
    platform::MemoryUse afterFirst;
    for (unsigned session = 1; played && session <= sessions; ++session) {
        played = runner::playSession(plugin, std::cerr);
        if (session == 1) {
            afterFirst = platform::memoryUse();
        }
    }
    SML::Host::closeLogFile();
    if (memoryReport && played) {
        const platform::MemoryUse atEnd = platform::memoryUse();
        std::cerr << "Resident memory after session 1: " << afterFirst.resident / 1024
                  << " KiB; after session " << sessions << ": " << atEnd.resident / 1024
                  << " KiB; peak: " << atEnd.peak / 1024 << " KiB\n";
    }
    SML::Host::restoreConsoleColour();
    return played ? 0 : 1;
}
