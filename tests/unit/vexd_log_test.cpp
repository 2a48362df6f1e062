// Daemon log: line format, set-up failures, rotation, cutting, concurrent
// writers and the assertion reporter. Each test runs the log in a fresh child.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <thread>

#include "core_test_util.h"
#include "tmr.h"
#include "vexd.h"

namespace {

constexpr size_t PREFIX_LEN = 21;  // "[%5lu.%06lu] vexd: " while seconds < 100000
const std::string MARKER1 = "<<<< VEXD START >>>>\n<<<< STARTUP COUNT 0001 >>>>\n";

class VexdLog : public ::testing::Test {
protected:
    TempDir dir;
    std::string txt = dir / "vexd_vexdlog.txt";
    std::string gz = dir / "vexd_vexdlog.gz";

    void SetUp() override
    {
        fake_kmsg_clear();
        fake_system_clear();
        vexd_set_startcnt_path((dir / "vexd_startcnt").c_str());
        vexd_log_dir_path = dir.path.c_str();
    }
    void TearDown() override { vexd_log_dir_path = nullptr; }

    static off_t size_of(const std::string &path)
    {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
    }
};

TEST_F(VexdLog, LineFormatFollowsTheStartupMarker)
{
    write_file(txt, "earlier run\n");
    EXPECT_IN_CHILD({
        tmr_init();  // seconds stay below 100000: the prefix is 21 bytes
        vexd_printf("hello %d\n", 42);
        vexd_printf("second");
        vexd_printf(" line\n");
        std::string text = read_file(txt);
        ASSERT_EQ(0u, text.find("earlier run\n" + MARKER1));
        std::string rest = text.substr(std::string("earlier run\n").size() + MARKER1.size());
        std::regex line(R"(\[[ \d]{4}\d\.\d{6}\] vexd: hello 42\n)"
                        R"(\[[ \d]{4}\d\.\d{6}\] vexd: second\[[ \d]{4}\d\.\d{6}\] vexd:  line\n)");
        EXPECT_TRUE(std::regex_match(rest, line)) << rest;
        // Seconds take at least five places, right-aligned.
        EXPECT_EQ('[', rest[0]);
        EXPECT_EQ('.', rest[6]);
        EXPECT_EQ(1, vexd_get_startup_counter());
    });
}

TEST_F(VexdLog, NullLogDirIsReportedAndLeavesTheLogUsable)
{
    EXPECT_IN_CHILD({
        tmr_init();  // seconds stay below 100000: the prefix is 21 bytes
        vexd_log_dir_path = nullptr;
        vexd_printf("dropped\n");
        auto cmds = fake_system_commands();
        ASSERT_EQ(1u, cmds.size());
        EXPECT_EQ("echo \"vexd: vexd_log_dir_path NULL, vexd_printf can not be used!\" > /dev/kmsg", cmds[0]);
        EXPECT_EQ("vexd: vexd_log_dir_path NULL, vexd_printf can not be used!\n", fake_kmsg_read());
        EXPECT_FALSE(file_exists(txt));

        // The mutex was released: the next call proceeds.
        vexd_log_dir_path = dir.path.c_str();
        vexd_printf("kept\n");
        std::string text = read_file(txt);
        EXPECT_EQ(0u, text.find(MARKER1));
        EXPECT_EQ(std::string::npos, text.find("dropped"));
        EXPECT_NE(std::string::npos, text.find("vexd: kept\n"));
    });
}

TEST_F(VexdLog, OpenFailureIsReportedOnEveryCallUntilTheDirectoryAppears)
{
    std::string sub = dir / "missing";
    EXPECT_IN_CHILD({
        tmr_init();  // seconds stay below 100000: the prefix is 21 bytes
        vexd_log_dir_path = sub.c_str();
        vexd_printf("one\n");
        vexd_printf("two\n");
        std::string expect = "echo \"vexd: Failed to open " + sub + "/vexd_vexdlog.txt fd=-1\" > /dev/kmsg";
        EXPECT_EQ((std::vector<std::string>{expect, expect}), fake_system_commands());
        std::string posted = "vexd: Failed to open " + sub + "/vexd_vexdlog.txt fd=-1\n";
        EXPECT_EQ(posted + posted, fake_kmsg_read());

        ASSERT_EQ(0, mkdir(sub.c_str(), 0777));
        vexd_printf("three\n");
        std::string text = read_file(sub + "/vexd_vexdlog.txt");
        EXPECT_EQ(0u, text.find(MARKER1));
        EXPECT_EQ(std::string::npos, text.find("one"));
        EXPECT_NE(std::string::npos, text.find("vexd: three\n"));
    });
}

TEST_F(VexdLog, RotatesOnlyPast64KiBAndAppendsOneMemberPerRotation)
{
    EXPECT_IN_CHILD({
        tmr_init();  // seconds stay below 100000: the prefix is 21 bytes
        const std::string filler(1000, 'f');
        auto fill_to_exactly = [&](off_t target) {
            while (target - size_of(txt) > 1500) vexd_printf("%s\n", filler.c_str());
            size_t room = static_cast<size_t>(target - size_of(txt));
            std::string last(room - PREFIX_LEN - 1, 'e');
            vexd_printf("%s\n", last.c_str());
        };

        vexd_printf("first\n");
        fill_to_exactly(65536);
        // Landing exactly on the threshold does not rotate.
        ASSERT_EQ(65536, size_of(txt));
        EXPECT_FALSE(file_exists(gz));
        std::string before = read_file(txt);

        // The line that crosses it goes into the gzip file with the rest.
        vexd_printf("crossing\n");
        EXPECT_EQ(0, size_of(txt));
        auto members = gz_members(gz);
        ASSERT_EQ(1u, members.size());
        EXPECT_EQ(0u, members[0].find(before));
        EXPECT_EQ(before.size() + PREFIX_LEN + 9, members[0].size());
        EXPECT_EQ("vexd: crossing\n", members[0].substr(members[0].size() - 15));

        // The new text file gets no marker; a second rotation adds a member.
        vexd_printf("after\n");
        std::string fresh = read_file(txt);
        EXPECT_EQ(std::string::npos, fresh.find("VEXD START"));
        fill_to_exactly(65536);
        std::string second = read_file(txt);
        vexd_printf("crossing again\n");
        members = gz_members(gz);
        ASSERT_EQ(2u, members.size());
        EXPECT_EQ(0u, members[1].find(second));
        EXPECT_EQ(0u, members[1].find(fresh));
        EXPECT_EQ(0, size_of(txt));
    });
}

TEST_F(VexdLog, TextIsKeptWhenItsRotationCannotBeCompressed)
{
    EXPECT_IN_CHILD({
        tmr_init();
        ASSERT_EQ(0, mkdir(gz.c_str(), 0777));  // the gzip file cannot be written
        const std::string filler(1000, 'f');
        vexd_printf("first\n");
        while (size_of(txt) <= 65536) vexd_printf("%s\n", filler.c_str());
        // The rotation failed: every line is still in the text file.
        std::string kept = read_file(txt);
        EXPECT_GT(kept.size(), 65536u);
        EXPECT_NE(std::string::npos, kept.find("vexd: first\n"));

        // Once the gzip file can be written, the next rotation takes it all.
        ASSERT_EQ(0, rmdir(gz.c_str()));
        while (size_of(txt) > 0) vexd_printf("%s\n", filler.c_str());
        auto members = gz_members(gz);
        ASSERT_EQ(1u, members.size());
        EXPECT_EQ(0u, members[0].find(kept));
    });
}

TEST_F(VexdLog, LongMessageIsCutTo2047Bytes)
{
    EXPECT_IN_CHILD({
        tmr_init();  // seconds stay below 100000: the prefix is 21 bytes
        vexd_printf("start\n");
        off_t base = size_of(txt);
        std::string huge(5000, 'a');
        vexd_printf("%s\n", huge.c_str());
        EXPECT_EQ(base + 2047, size_of(txt));
        vexd_printf("next\n");
        std::string text = read_file(txt).substr(static_cast<size_t>(base));
        EXPECT_EQ(std::string::npos, text.find('\0'));
        // The cut line has no newline, so the next one runs on after it.
        std::string cut = text.substr(0, 2047);
        EXPECT_EQ(std::string(2047 - PREFIX_LEN, 'a'), cut.substr(PREFIX_LEN));
        EXPECT_EQ('[', text[2047]);
        EXPECT_EQ("vexd: next\n", text.substr(text.size() - 11));
    });
}

TEST_F(VexdLog, ConcurrentWritersProduceWholeLines)
{
    constexpr int THREADS = 8;
    constexpr int LINES = 400;
    EXPECT_IN_CHILD({
        tmr_init();  // seconds stay below 100000: the prefix is 21 bytes
        std::vector<std::thread> threads;
        for (int t = 0; t < THREADS; t++)
            threads.emplace_back([t] {
                for (int i = 0; i < LINES; i++)
                    vexd_printf("writer %d line %04d %s\n", t, i, "................................");
            });
        for (auto &th : threads) th.join();

        // Several rotations happened; gzip members and the text file together
        // hold every line exactly once, whole and in each writer's order.
        std::string all = gz_text(gz) + read_file(txt);
        ASSERT_EQ(0u, all.find(MARKER1));
        std::istringstream in(all.substr(MARKER1.size()));
        std::regex line(R"(\[ *\d+\.\d{6}\] vexd: writer (\d) line (\d{4}) \.{32})");
        std::vector<int> next(THREADS, 0);
        std::string l;
        int count = 0;
        while (std::getline(in, l)) {
            std::smatch m;
            ASSERT_TRUE(std::regex_match(l, m, line)) << l;
            int t = std::stoi(m[1]);
            EXPECT_EQ(next[t]++, std::stoi(m[2]));
            count++;
        }
        EXPECT_EQ(THREADS * LINES, count);
        EXPECT_GE(gz_members(gz).size(), 2u);
    });
}

using VexdLogDeathTest = VexdLog;

TEST_F(VexdLogDeathTest, AssertLogsLineAndExpressionThenExits255)
{
    EXPECT_EXIT(assert("p_head", "slnk/src/slnk.cpp", 32), ::testing::ExitedWithCode(255), "");
    std::string text = read_file(txt);
    ASSERT_EQ(0u, text.find(MARKER1));
    std::regex line(R"(\[ *\d+\.\d{6}\] vexd: \(32\):p_head)");
    EXPECT_TRUE(std::regex_match(text.substr(MARKER1.size()), line)) << text;
    EXPECT_EQ(std::string::npos, text.find("slnk"));
}

}  // namespace
