#pragma once
// Log line writer: every message is one line on the console and in the loader's log file, in the
// colour of its log type, opened by the loader's header naming its source.

#include "loader/sml.hpp"

#include <string>

// The source named in the header of every line of the plug-in's own.
inline constexpr const char* pluginLogSource = "Orvelin";

// Configuration diagnostics are written only while this is on; it starts off, and nothing in the
// plug-in turns it on.
extern bool verboseConfigLog;

// Console colour of each log type.
SML::Utility::ConsoleColor typeColour(SML::Utility::LogType type);

// Colour the console is left in after every line.
inline constexpr SML::Utility::ConsoleColor colourAfterLine = 14;

// Writes the text, unchanged, as one line of the given type on both sinks. The caller writes the
// header first.
void logLine(SML::Utility::LogType type, const std::string& text);
void logLine(SML::Utility::LogType type, const char* text);

// One of the plug-in's own messages: header naming the source, then a line of type 5.
void logAs(std::string source, const std::string& text);

// A configuration diagnostic under the header "SML" with type 0; silent unless verboseConfigLog.
void debugLine(const std::string& text);
