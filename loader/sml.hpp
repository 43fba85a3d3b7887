#pragma once
// The mod loader's interface as a plug-in uses it. The loader is the module xinput1_3.dll
// (libxinput1_3.so in the native build); a plug-in imports every name below from it.

#include <cstdint>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#if defined(_WIN32)
#if defined(SML_BUILDING_LOADER)
#define SML_API __declspec(dllexport)
#else
#define SML_API __declspec(dllimport)
#endif
#else
#define SML_API __attribute__((visibility("default")))
#endif

// The loader's version text. Plug-ins take a copy at load; importing it ties them to this loader.
extern SML_API const std::string smlVersion;

namespace SML {

namespace Mod {

// Base class of every plug-in object. The loader creates the object through the plug-in's
// exported ModCreate, calls setup once, then postSetup, and finally deletes it.
class SML_API Mod {
public:
    // Who the plug-in is; the base keeps its own copy.
    struct Info {
        std::string loaderVersion;
        std::string name;
        std::string version;
        std::string description;
        std::string authors;
        std::vector<std::string> dependencies;
    };

    explicit Mod(const Info& info);
    Mod(const Mod&) = delete;
    Mod& operator=(const Mod&) = delete;

    virtual void setup() = 0;
    virtual void postSetup() = 0;
    virtual ~Mod();

    const Info& info() const { return info_; }

private:
    Info info_;
};

namespace Functions {

// Per-call record the loader hands to every hook handler. Plug-ins may leave it alone.
struct ModReturns {
    bool useOriginalFunction = true;
};

// Notes that the plug-in needs the named asset package.
SML_API void setDependsOnPak(std::string name);
// Registers a function taking and returning nothing, called on every broadcast of the name.
SML_API void registerEvent(std::string name, void* function);
// Calls every function registered under the name, in registration order.
SML_API void broadcastEvent(std::string name);

} // namespace Functions

} // namespace Mod

namespace Utility {

// Integer codes: a log type, and a console colour in the Windows console's sixteen-colour
// numbering (bit 0 blue, bit 1 green, bit 2 red, bit 3 bright).
using LogType = int;
using ConsoleColor = int;

// Opens a log line on the console and in logFile with a header naming the source.
SML_API void writeHeader(std::string source, LogType type);
// Colour for the console text that follows.
SML_API void setConsoleColor(ConsoleColor color);
// Called once inside every log line, after its text.
SML_API void log(LogType type);
// The loader's log file, open before any plug-in is loaded.
extern SML_API std::ofstream logFile;

} // namespace Utility

namespace Objects {

// The few game types that hook handlers see. Only their hooked methods are declared: the game
// defines them, the loader runs the subscribed handlers when the game calls them.
struct FKey {
    std::string name;
};

enum class InputEvent : std::uint8_t { Pressed, Released, Repeat, DoubleClick, Axis };

enum class ELevelTick : std::uint8_t { TimeOnly, ViewportsOnly, All, PauseTick };

class AFGPlayerController {
public:
    void BeginPlay();
};

class PlayerInput {
public:
    bool InputKey(FKey key, InputEvent event, float amountDepressed, bool gamepad);
};

class UWorld {
public:
    void Tick(ELevelTick tickType, float deltaSeconds);
};

} // namespace Objects

} // namespace SML

// Hook service: HookInvoker<&Class::Method>::subscribe(handler) runs the handler every time the
// game executes that method. Only the methods specialised below can be hooked.
template <auto Method> class HookInvoker;

template <> class SML_API HookInvoker<&SML::Objects::AFGPlayerController::BeginPlay> {
public:
    using Handler =
        std::function<void(SML::Mod::Functions::ModReturns*, SML::Objects::AFGPlayerController*)>;
    static void subscribe(Handler handler);
};

template <> class SML_API HookInvoker<&SML::Objects::PlayerInput::InputKey> {
public:
    using Handler = std::function<bool(SML::Mod::Functions::ModReturns*, SML::Objects::PlayerInput*,
                                       SML::Objects::FKey, SML::Objects::InputEvent, float, bool)>;
    static void subscribe(Handler handler);
};

template <> class SML_API HookInvoker<&SML::Objects::UWorld::Tick> {
public:
    using Handler = std::function<void(SML::Mod::Functions::ModReturns*, SML::Objects::UWorld*,
                                       SML::Objects::ELevelTick, float)>;
    static void subscribe(Handler handler);
};
