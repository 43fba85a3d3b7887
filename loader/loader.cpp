// The local loader: the services of sml.hpp for plug-ins, and the game-facing side of loader.hpp.

#include "loader/loader.hpp"

#include "orvelin_version.hpp"
#include "platform/console.hpp"
#include "platform/process.hpp"

#include <iostream>
#include <optional>
#include <utility>

using SML::Objects::AFGPlayerController;
using SML::Objects::PlayerInput;
using SML::Objects::UWorld;

const std::string smlVersion = orvelin_build::loaderVersion;

namespace SML {

namespace Utility {
std::ofstream logFile;
} // namespace Utility

namespace {

using BeginPlayHandler = HookInvoker<&AFGPlayerController::BeginPlay>::Handler;
using InputKeyHandler = HookInvoker<&PlayerInput::InputKey>::Handler;
using WorldTickHandler = HookInvoker<&UWorld::Tick>::Handler;

struct Event {
    std::string name;
    void (*function)();
};

struct LoaderState {
    std::vector<std::string> paks;
    std::vector<Event> events;
    std::vector<BeginPlayHandler> beginPlay;
    std::vector<InputKeyHandler> inputKey;
    std::vector<WorldTickHandler> worldTick;
    std::optional<std::string> traceFile = platform::environment(Host::traceVariable);
    std::function<void(const std::string&)> traceSink;
};

LoaderState& state() {
    static LoaderState loader;
    return loader;
}

void traceLine(const std::string& line) {
    LoaderState& loader = state();
    if (loader.traceFile && !loader.traceFile->empty()) {
        // Binary, so that both builds write the same bytes.
        std::ofstream out(*loader.traceFile, std::ios::app | std::ios::binary);
        out << line << '\n';
    }
    if (loader.traceSink) {
        loader.traceSink(line);
    }
}

bool consoleIsTerminal() {
    static const bool terminal = platform::stdoutIsConsole();
    return terminal;
}

// The ANSI escape for a Windows console colour code (0 to 15).
std::string ansiColour(int colour) {
    const int index = ((colour & 4) ? 1 : 0) | ((colour & 2) ? 2 : 0) | ((colour & 1) ? 4 : 0);
    return "\x1b[" + std::to_string(((colour & 8) ? 90 : 30) + index) + "m";
}

// Handlers may subscribe further handlers while they run: call a snapshot.
template <typename Handler, typename... Args>
void runEach(const std::vector<Handler>& handlers, Args&&... args) {
    const std::vector<Handler> snapshot = handlers;
    for (const Handler& handler : snapshot) {
        Mod::Functions::ModReturns returns;
        handler(&returns, args...);
    }
}

} // namespace

namespace Mod {

Mod::Mod(const Info& info) : info_(info) {}

Mod::~Mod() = default;

namespace Functions {

void setDependsOnPak(std::string name) {
    traceLine("setDependsOnPak " + name);
    state().paks.push_back(std::move(name));
}

void registerEvent(std::string name, void* function) {
    traceLine("registerEvent " + name);
    // A null function could only crash the broadcast.
    if (function != nullptr) {
        state().events.push_back({std::move(name), reinterpret_cast<void (*)()>(function)});
    }
}

void broadcastEvent(std::string name) {
    traceLine("broadcastEvent " + name);
    std::vector<void (*)()> registered;
    for (const Event& event : state().events) {
        if (event.name == name) {
            registered.push_back(event.function);
        }
    }
    for (void (*function)() : registered) {
        function();
    }
}

} // namespace Functions

} // namespace Mod

namespace Utility {

void writeHeader(std::string source, LogType type) {
    traceLine("writeHeader " + source + " " + std::to_string(type));
    const std::string header = "[" + source + "] ";
    std::cout << header;
    logFile << header;
}

void setConsoleColor(ConsoleColor color) {
    traceLine("setConsoleColor " + std::to_string(color));
    if (color < 0 || color > 15 || !consoleIsTerminal()) {
        return;
    }
    // Text already inserted must come out in the colour it was written under.
    std::cout.flush();
    if (!platform::setConsoleAttribute(color)) {
        std::cout << ansiColour(color);
    }
}

void log(LogType type) {
    traceLine("log " + std::to_string(type));
}

} // namespace Utility

namespace Host {

void openLogFile(const std::string& path) {
    Utility::logFile.close();
    Utility::logFile.clear();
    Utility::logFile.open(path, std::ios::trunc);
}

void closeLogFile() {
    Utility::logFile.close();
}

void restoreConsoleColour() {
    if (!consoleIsTerminal()) {
        return;
    }
    std::cout.flush();
    if (!platform::setConsoleAttribute(7)) {
        std::cout << "\x1b[0m" << std::flush;
    }
}

void setTraceSink(std::function<void(const std::string&)> sink) {
    state().traceSink = std::move(sink);
}

void trace(const std::string& line) {
    traceLine(line);
}

std::vector<std::string> dependedPaks() {
    return state().paks;
}

void fireBeginPlay(AFGPlayerController* controller) {
    runEach(state().beginPlay, controller);
}

std::vector<bool> fireInputKey(PlayerInput* input, Objects::FKey key, Objects::InputEvent event,
                               float amountDepressed, bool gamepad) {
    const std::vector<InputKeyHandler> snapshot = state().inputKey;
    std::vector<bool> results;
    for (const InputKeyHandler& handler : snapshot) {
        Mod::Functions::ModReturns returns;
        results.push_back(handler(&returns, input, key, event, amountDepressed, gamepad));
    }
    return results;
}

void fireWorldTick(UWorld* world, Objects::ELevelTick tickType, float deltaSeconds) {
    runEach(state().worldTick, world, tickType, deltaSeconds);
}

Subscriptions subscriptions() {
    const LoaderState& loader = state();
    return {loader.beginPlay.size(), loader.inputKey.size(), loader.worldTick.size(),
            loader.events.size()};
}

void discardPlugin() {
    LoaderState& loader = state();
    loader.paks.clear();
    loader.events.clear();
    loader.beginPlay.clear();
    loader.inputKey.clear();
    loader.worldTick.clear();
}

} // namespace Host

} // namespace SML

void HookInvoker<&AFGPlayerController::BeginPlay>::subscribe(Handler handler) {
    SML::traceLine("subscribe AFGPlayerController::BeginPlay");
    SML::state().beginPlay.push_back(std::move(handler));
}

void HookInvoker<&PlayerInput::InputKey>::subscribe(Handler handler) {
    SML::traceLine("subscribe PlayerInput::InputKey");
    SML::state().inputKey.push_back(std::move(handler));
}

void HookInvoker<&UWorld::Tick>::subscribe(Handler handler) {
    SML::traceLine("subscribe UWorld::Tick");
    SML::state().worldTick.push_back(std::move(handler));
}
