#pragma once
// What a session is expected to leave, stated once for every test program: the plug-in's lines,
// the configuration file's text as the plug-in writes it, and the built loader's file name.

#include <string>
#include <vector>

namespace testing_support::expected {

// The plug-in's lines of a whole session (set-up, post set-up, clean-up), each after the header.
inline const std::vector<std::string> sessionLines = {
    "[Orvelin] Finished Orvelin setup!", "[Orvelin] Orvelin's post setup has been completed!",
    "[Orvelin] Orvelin finished cleanup!"};

// Lines, each ended as the platform's text files end them; `end` instead where given.
std::string joined(const std::vector<std::string>& lines, const std::string& end = "");

// The session's lines as the log file and the console hold them.
std::string sessionLog(const std::string& end = "");

// config\Orvelin.cfg as the plug-in writes it, its one setting written as floatText ("1.0").
std::string storedConfig(const std::string& floatText = "1.0");

// The text of the stored "Float" member, read without the library under test.
std::string storedFloat(const std::string& file);

// The local loader's file name, from the build.
std::string loaderFile();

} // namespace testing_support::expected
