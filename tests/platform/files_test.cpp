// The file services on their own: whole-file reads, the crash-safe replacement and its temporaries.

#include "platform/files.hpp"
#include "platform/process.hpp"
#include "platform/temporary_files.hpp"

#include "support.hpp"

#include <gtest/gtest.h>

#include <filesystem>

using testing_support::readFile;
using testing_support::ScratchFolder;
using testing_support::writeFile;

namespace {

namespace fs = std::filesystem;

class Files : public ::testing::Test {
protected:
    ScratchFolder folder{::testing::UnitTest::GetInstance()->current_test_info()->name()};
};

std::vector<std::string> namesIn(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(Files, AWholeFileIsReadAsBytesOrSaidWhyNot) {
    const std::string bytes("a\r\nb\0c\x1A"
                            "d",
                            8);
    writeFile("bytes.cfg", bytes);
    fs::create_directory("folder.cfg");
    const platform::FileContent read = platform::readWholeFile("bytes.cfg");
    EXPECT_EQ(read.state, platform::FileState::read);
    EXPECT_EQ(read.bytes, bytes) << "no line end or end-of-file mark is translated";
    EXPECT_EQ(platform::readWholeFile("missing.cfg").state, platform::FileState::absent);
    EXPECT_EQ(platform::readWholeFile("folder.cfg").state, platform::FileState::unreadable);
    EXPECT_TRUE(platform::isReadableFile("bytes.cfg"));
    EXPECT_FALSE(platform::isReadableFile("folder.cfg"));
}

TEST_F(Files, AReplacementIsWholeAndLeavesNoTemporary) {
    ASSERT_TRUE(platform::replaceFile("new.cfg", "first"));
    EXPECT_EQ(readFile("new.cfg"), "first");
    const std::string binary("x\0\r\ny", 5);
    ASSERT_TRUE(platform::replaceFile("new.cfg", binary));
    EXPECT_EQ(readFile("new.cfg"), binary);
    ASSERT_TRUE(platform::replaceFile("new.cfg", ""));
    EXPECT_EQ(readFile("new.cfg"), "");
    // Anything but a regular file is left where it is.
    fs::create_directories("folder.cfg/kept");
    EXPECT_FALSE(platform::replaceFile("folder.cfg", "text"));
    EXPECT_TRUE(fs::is_directory("folder.cfg/kept"));
    EXPECT_EQ(namesIn("."), (std::vector<std::string>{"folder.cfg", "new.cfg"}));
}

TEST_F(Files, OnlyTemporariesOfWritersThatDiedAreRemoved) {
    // A writer no running process can be: an id past the system's range.
#if defined(_WIN32)
    const std::uint64_t dead = 0xFFFFFFF0u;
#else
    const std::uint64_t dead = std::stoull(readFile("/proc/sys/kernel/pid_max")) + 1;
#endif
    const std::string stale = platform::temporary_files::pathFor("game.cfg", dead);
    // Another live writer: sessions of the runner, going on until the test ends.
    testing_support::BackgroundProgram live(testing_support::hostCommand("--sessions 1000000"),
                                            "runner.txt");
    const std::string kept[] = {
        platform::temporary_files::pathFor("game.cfg", platform::processId()),
        platform::temporary_files::pathFor("game.cfg", live.id()),
        platform::temporary_files::pathFor("other.cfg", dead), "game.cfg.bak",
        "game.cfg." + std::to_string(dead) + "x.tmp"};
    writeFile(stale, "stale");
    for (const std::string& name : kept) {
        writeFile(name, "kept");
    }
    platform::temporary_files::removeStale("game.cfg");
    EXPECT_FALSE(fs::exists(stale));
    for (const std::string& name : kept) {
        EXPECT_TRUE(fs::exists(name)) << name;
    }
    EXPECT_EQ(stale.substr(0, 9), "game.cfg.") << "beside its file, named after it";
    live.kill();
    live.wait();
}

} // namespace
