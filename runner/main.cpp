// orvelin-host: the game and its loader in one process, for running a plug-in without the game.
// The working directory is the game folder.

#include "host/loader.hpp"
#include "platform/platform.hpp"
#include "runner/engine_image.hpp"
#include "runner/session.hpp"

#include <CLI/CLI.hpp>

#include <iostream>

int main(int argc, char** argv) {
    CLI::App app{"Plays a short game session with a plug-in loaded, as the game and its loader "
                 "would. The working directory is the game folder.",
                 "orvelin-host"};
    std::string plugin = platform::executableDirectory() + platform::pluginFileName();
    app.add_option("--plugin", plugin, "Plug-in module to load (default: the one beside this program)");
    CLI11_PARSE(app, argc, argv);

    runner::startEngine();
    SML::Host::openLogFile(SML::Host::logFileName);
    const bool played = runner::playSession(plugin, std::cerr);
    SML::Host::closeLogFile();
    SML::Host::restoreConsoleColour();
    return played ? 0 : 1;
}
