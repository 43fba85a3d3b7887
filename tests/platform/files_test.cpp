// The file services on their own: whole-file reads, the crash-safe replacement and its temporaries.

#include "platform/files.hpp"
#include "platform/process.hpp"
#include "platform/temporary_files.hpp"

#include "support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

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
    using platform::temporary_files::pathFor;
    // A writer no running process can be: an id past the system's range.
#if defined(_WIN32)
    const std::uint64_t dead = 0xFFFFFFF0u;
#else
    const std::uint64_t dead = std::stoull(readFile("/proc/sys/kernel/pid_max")) + 1;
#endif
    // Another live writer: sessions of the runner, going on until the test ends.
    testing_support::BackgroundProgram live(testing_support::hostCommand("--sessions 1000000"),
                                            "runner.txt");
    // As named now, and as saves named them before each had a serial.
    const std::string stale[] = {pathFor("game.cfg", dead, 7),
                                 "game.cfg." + std::to_string(dead) + ".tmp"};
    const std::string kept[] = {pathFor("game.cfg", platform::processId(), 3),
                                pathFor("game.cfg", live.id(), 0),
                                pathFor("other.cfg", dead, 0),
                                "game.cfg.bak",
                                "game.cfg." + std::to_string(dead) + "x.tmp",
                                "game.cfg." + std::to_string(dead) + ".1x.tmp"};
    for (const std::string& name : stale) {
        writeFile(name, "stale");
    }
    for (const std::string& name : kept) {
        writeFile(name, "kept");
    }
    platform::temporary_files::removeStale("game.cfg");
    for (const std::string& name : stale) {
        EXPECT_FALSE(fs::exists(name)) << name;
    }
    for (const std::string& name : kept) {
        EXPECT_TRUE(fs::exists(name)) << name;
    }
    live.kill();
    live.wait();
}

TEST_F(Files, ATemporaryLeftUnderThisProcesssIdDoesNotStopASave) {
    // Ids come round again (under Wine at once): what an earlier process of this id left under the
    // names the next saves take is no live save's.
    const std::uint64_t next = platform::temporary_files::upcomingSerial();
    for (std::uint64_t serial = next; serial < next + 4; ++serial) {
        writeFile(platform::temporary_files::pathFor("game.cfg", platform::processId(), serial),
                  "left");
    }
    for (int save = 0; save < 4; ++save) {
        ASSERT_TRUE(platform::replaceFile("game.cfg", "saved " + std::to_string(save)));
    }
    EXPECT_EQ(readFile("game.cfg"), "saved 3");
    EXPECT_EQ(namesIn("."), std::vector<std::string>{"game.cfg"});
}

TEST_F(Files, ThreadsSavingAtOnceNeverLeaveAPartialFile) {
    // Two texts of different lengths: any partial or empty file shows.
    const std::string texts[] = {"{\"Float\": 1.0}", "{\"Float\": 22.25, \"Other\": true}"};
    ASSERT_TRUE(platform::replaceFile("game.cfg", texts[0]));
    std::atomic<bool> done{false};
    std::atomic<int> failedSaves{0};
    std::vector<std::thread> savers;
    for (int thread = 0; thread < 4; ++thread) {
        savers.emplace_back([&, thread] {
            for (int save = 0; save < 200; ++save) {
                if (!platform::replaceFile("game.cfg", texts[(thread + save) % 2])) {
                    ++failedSaves;
                }
            }
        });
    }
    std::size_t reads = 0;
    std::size_t partial = 0;
    std::thread reader([&] {
        while (!done) {
            const platform::FileContent read = platform::readWholeFile("game.cfg");
            // Windows refuses to open a file in the middle of being replaced: no partial read.
            if (read.state == platform::FileState::read) {
                ++reads;
                partial += read.bytes != texts[0] && read.bytes != texts[1] ? 1 : 0;
            }
        }
    });
    for (std::thread& saver : savers) {
        saver.join();
    }
    done = true;
    reader.join();
    EXPECT_EQ(partial, 0u) << "of " << reads << " reads";
    EXPECT_GT(reads, 0u);
#if defined(_WIN32)
    // Windows may refuse a save while another thread's replacement of the same file is under way
    // (the probe for write access finds it being deleted); the file keeps the other's whole text.
    EXPECT_LT(failedSaves, 800) << "some saves go through";
#else
    EXPECT_EQ(failedSaves, 0);
#endif
    EXPECT_EQ(namesIn("."), std::vector<std::string>{"game.cfg"}) << "no temporary is left";
}

} // namespace
