#include "logging/log.hpp"

#include <iostream>

bool verboseConfigLog = false;

SML::Utility::ConsoleColor typeColour(SML::Utility::LogType type) {
    switch (type) {
    case 0:
    case 4:
        return 7;
    case 1:
    case 5:
        return 9;
    case 2:
    case 6:
        return 13;
    default:
        return 11;
    }
}

void logLine(SML::Utility::LogType type, const std::string& text) {
    std::ostream& file = SML::Utility::logFile;
    SML::Utility::setConsoleColor(typeColour(type));
    std::cout << text;
    file << text;
    file.flush();
    SML::Utility::log(type);
    std::cout << std::endl;
    file << std::endl;
    file.flush();
    SML::Utility::setConsoleColor(colourAfterLine);
}

void logLine(SML::Utility::LogType type, const char* text) {
    // A null pointer is written as the empty text rather than read.
    logLine(type, std::string(text != nullptr ? text : ""));
}

void logAs(std::string source, const std::string& text) {
    SML::Utility::writeHeader(std::move(source), 5);
    logLine(5, text);
}

void debugLine(const std::string& text) {
    if (!verboseConfigLog) {
        return;
    }
    SML::Utility::writeHeader("SML", 0);
    logLine(0, text);
}
