// Startup counter and marker, gzip rotation limits and the process list.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "core_test_util.h"
#include "vexd.h"

// Stands in for the storage selection's answer (this definition is linked
// instead of the daemon's): 1 pretends the dedicated partition is mounted.
static std::atomic<int> fake_cache_partition{0};
int fs_srv_using_cache_partition(void) { return fake_cache_partition.load(); }

namespace {

std::string marker(int count)
{
    char buf[128];
    snprintf(buf, sizeof(buf), "<<<< VEXD START >>>>\n<<<< STARTUP COUNT %04d >>>>\n", count);
    return buf;
}

class Rotate : public ::testing::Test {
protected:
    TempDir dir;
    std::string cnt = dir / "vexd_startcnt";

    void SetUp() override
    {
        fake_cache_partition = 0;
        vexd_set_startcnt_path(cnt.c_str());
        vexd_log_dir_path = dir.path.c_str();
    }
    void TearDown() override { vexd_log_dir_path = nullptr; }

    void write_count(int32_t v) { write_file(cnt, std::string(reinterpret_cast<char *>(&v), 4)); }
    int32_t read_count()
    {
        std::string s = read_file(cnt);
        EXPECT_EQ(4u, s.size());
        int32_t v = 0;
        memcpy(&v, s.data(), std::min<size_t>(4, s.size()));
        return v;
    }
    // One process start: the first marker of a fresh process, into `file`.
    std::string start_once(const std::string &file)
    {
        EXPECT_IN_CHILD({
            int fd = open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0777);
            ASSERT_GE(fd, 0);
            int32_t size = 5;
            vexd_add_startup_marker(fd, &size);
            close(fd);
            EXPECT_EQ(static_cast<int32_t>(5 + read_file(file).size()), size);
        });
        return read_file(file);
    }
};

TEST_F(Rotate, StartupCounterCountsStartsAndGoesOnPastDamage)
{
    std::string out = dir / "m.txt";
    EXPECT_EQ(marker(1), start_once(out));
    EXPECT_EQ(1, read_count());
    EXPECT_EQ(marker(2), start_once(out));
    EXPECT_EQ(2, read_count());

    write_count(9999);
    EXPECT_EQ("<<<< VEXD START >>>>\n<<<< STARTUP COUNT 10000 >>>>\n", start_once(out));
    EXPECT_EQ(10000, read_count());

    // Only a missing file is a first start (count 1 clears every recording).
    // A damaged one, short or holding a count we never write or cannot
    // increment, goes on from 2, or past the highest count that the
    // recordings' names hold; and says so.
    for (int32_t bad : {-1, 0, INT32_MAX}) {
        write_count(bad);
        EXPECT_EQ(marker(2), start_once(out)) << bad;
        EXPECT_EQ(2, read_count());
    }
    write_file(cnt, "abc");
    ASSERT_EQ(0, mkdir((dir / "diag_logs").c_str(), 0777));
    write_file(dir / "diag_logs/dl_field_1_41.qmdl", "x");
    write_file(dir / "diag_logs/dl_b_7.qmdl.gz", "x");
    EXPECT_IN_CHILD({
        int fd = open(out.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0777);
        vexd_add_startup_marker(fd, nullptr);
        close(fd);
        ASSERT_NE(nullptr, vexd_startcnt_note());
        EXPECT_EQ("Startup counter file " + cnt + " damaged, counting on from 42\n", vexd_startcnt_note());
    });
    EXPECT_EQ(marker(42), read_file(out));
    EXPECT_EQ(42, read_count());
    EXPECT_FALSE(file_exists(cnt + ".tmp"));
}

TEST_F(Rotate, CounterIsReadAndRewrittenOncePerProcess)
{
    write_count(6);
    EXPECT_IN_CHILD({
        EXPECT_EQ(0, vexd_get_startup_counter());
        // Several threads race to write the first marker.
        constexpr int THREADS = 8;
        std::vector<std::string> files;
        for (int i = 0; i < THREADS; i++) files.push_back(dir / ("t" + std::to_string(i)));
        std::vector<std::thread> threads;
        for (int i = 0; i < THREADS; i++)
            threads.emplace_back([&, i] {
                int fd = open(files[i].c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0777);
                vexd_add_startup_marker(fd, nullptr);
                close(fd);
            });
        for (auto &t : threads) t.join();
        for (auto &f : files) EXPECT_EQ(marker(7), read_file(f));
        EXPECT_EQ(7, read_count());
        EXPECT_EQ(7, vexd_get_startup_counter());

        // Later markers of the process repeat the count and leave the file alone.
        write_count(100);
        std::string later = dir / "later";
        int fd = open(later.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0777);
        vexd_add_startup_marker(fd, nullptr);
        close(fd);
        EXPECT_EQ(marker(7), read_file(later));
        EXPECT_EQ(100, read_count());
    });
}

TEST_F(Rotate, UnwritableCounterStillMarksThisStart)
{
    std::string nodir = dir / "absent/vexd_startcnt";
    EXPECT_IN_CHILD({
        vexd_set_startcnt_path(nodir.c_str());
        std::string out = dir / "m.txt";
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0777);
        vexd_add_startup_marker(fd, nullptr);
        close(fd);
        EXPECT_EQ(marker(1), read_file(out));
        EXPECT_EQ(1, vexd_get_startup_counter());
    });
}

TEST_F(Rotate, ArchiveGzipLimitOutsideTheDedicatedPartition)
{
    std::string txt = dir / "x.txt", gz = dir / "x.gz";
    write_file(txt, "old text\n");
    uint32_t known = 0;
    vexd_archive_logfile(txt.c_str(), gz.c_str(), 131072, &known);
    EXPECT_EQ(read_file(gz).size(), known);

    // Known size at the limit: the gzip file is kept and grows.
    write_file(txt, "second\n");
    known = 131072;
    vexd_archive_logfile(txt.c_str(), gz.c_str(), 131072, &known);
    EXPECT_EQ((std::vector<std::string>{"old text\n", "second\n"}), gz_members(gz));
    EXPECT_EQ(read_file(gz).size(), known);
    // The text file is left for its writer to truncate.
    EXPECT_EQ("second\n", read_file(txt));

    // One byte above: removed first, so only the latest rotation remains.
    write_file(txt, "third\n");
    known = 131073;
    vexd_archive_logfile(txt.c_str(), gz.c_str(), 131072, &known);
    EXPECT_EQ((std::vector<std::string>{"third\n"}), gz_members(gz));
    EXPECT_EQ(read_file(gz).size(), known);
}

TEST_F(Rotate, ArchiveNeverRemovesOnTheDedicatedPartition)
{
    fake_cache_partition = 1;
    std::string txt = dir / "x.txt", gz = dir / "x.gz";
    write_file(txt, "a\n");
    uint32_t known = 0;
    vexd_archive_logfile(txt.c_str(), gz.c_str(), 131072, &known);
    write_file(txt, "b\n");
    known = 0xFFFFFFFFu;
    vexd_archive_logfile(txt.c_str(), gz.c_str(), 131072, &known);
    EXPECT_EQ((std::vector<std::string>{"a\n", "b\n"}), gz_members(gz));
    EXPECT_EQ(read_file(gz).size(), known);
}

TEST_F(Rotate, ArchiveFailureForgetsTheKnownSize)
{
    std::string gz = dir / "x.gz";
    write_file(gz, "kept");
    uint32_t known = 999999;
    fake_cache_partition = 1;
    vexd_archive_logfile((dir / "missing.txt").c_str(), gz.c_str(), 131072, &known);
    EXPECT_EQ(0u, known);
    EXPECT_EQ("kept", read_file(gz));
}

// Every pair rotates through vexd_rotate_pair; what differs is the end. The
// input may be emptied or removed only once its member is in the gzip file,
// and the rotation's record goes (or is emptied) only then; a failed compression keeps the
// input whole, whatever the end.
TEST_F(Rotate, RotationEndsEmptyTheInputOnlyAfterItsMember)
{
    const std::string txt = dir / "x.txt", gz = dir / "x.gz", record = gz + ".part";
    const std::string bad_gz = dir / "no/such/dir.gz";
    // The text after a rotation that returned `rc`, "more\n" written first
    // through a descriptor that reopen handed back; "-" when it is gone.
    auto text_after = [&](vexd_rotate_end end, int rc) -> std::string {
        if (end == vexd_rotate_end::reopen) {
            EXPECT_EQ(5, write(rc, "more\n", 5));
            close(rc);
        } else {
            EXPECT_EQ(0, rc);
        }
        return file_exists(txt) ? read_file(txt) : "-";
    };
    struct Case {
        vexd_rotate_end end;
        const char *text;
        bool record_stays;
    };
    for (const Case &c :
         {Case{vexd_rotate_end::leave, "rotated text\n", true},
          Case{vexd_rotate_end::reopen, "more\n", false}, Case{vexd_rotate_end::empty, "", false},
          Case{vexd_rotate_end::remove, "-", false}}) {
        SCOPED_TRACE(static_cast<int>(c.end));
        ::remove(gz.c_str());
        ::remove(record.c_str());
        write_file(txt, "rotated text\n");
        uint32_t known = 0;
        const int rc =
            vexd_rotate_pair(txt.c_str(), gz.c_str(), 131072, vexd_gz_rule::off_partition, &known, c.end);
        EXPECT_EQ((std::vector<std::string>{"rotated text\n"}), gz_members(gz));
        EXPECT_EQ(read_file(gz).size(), known);
        // A record that stays holds the rotation (leave); after reopen it
        // stays emptied, for the next rotation to write in place.
        EXPECT_EQ(c.record_stays, file_exists(record) && !read_file(record).empty());
        EXPECT_EQ(c.end == vexd_rotate_end::reopen, file_exists(record) && read_file(record).empty());
        EXPECT_EQ(c.text, text_after(c.end, rc));

        // The compression fails: nothing is lost, and a reopened text is appended to.
        write_file(txt, "kept text\n");
        known = 5;
        const int failed =
            vexd_rotate_pair(txt.c_str(), bad_gz.c_str(), 131072, vexd_gz_rule::off_partition, &known, c.end);
        EXPECT_EQ(0u, known);
        EXPECT_EQ(c.end == vexd_rotate_end::reopen ? "kept text\nmore\n" : "kept text\n",
                  text_after(c.end, failed));
    }
}

// The qmdl files' rule: an over-limit gzip file goes also on the dedicated
// partition, where the text logs' rule keeps it.
TEST_F(Rotate, OverLimitRuleIsTheCallersParameter)
{
    fake_cache_partition = 1;
    const std::string txt = dir / "x.txt", gz = dir / "x.gz";
    for (vexd_gz_rule rule : {vexd_gz_rule::off_partition, vexd_gz_rule::always}) {
        ::remove(gz.c_str());
        write_file(txt, "a\n");
        uint32_t known = 0;
        vexd_rotate_pair(txt.c_str(), gz.c_str(), 10, rule, &known, vexd_rotate_end::empty);
        write_file(txt, "b\n");
        known = 11;
        vexd_rotate_pair(txt.c_str(), gz.c_str(), 10, rule, &known, vexd_rotate_end::empty);
        const std::vector<std::string> kept = rule == vexd_gz_rule::always
                                                  ? std::vector<std::string>{"b\n"}
                                                  : std::vector<std::string>{"a\n", "b\n"};
        EXPECT_EQ(kept, gz_members(gz));
    }
}

TEST_F(Rotate, FileSize)
{
    EXPECT_EQ(0, vexd_get_file_size((dir / "none").c_str()));
    write_file(dir / "f", std::string(1234, 'x'));
    EXPECT_EQ(1234, vexd_get_file_size((dir / "f").c_str()));
    ASSERT_EQ(0, symlink((dir / "f").c_str(), (dir / "l").c_str()));
    EXPECT_EQ(0, vexd_get_file_size((dir / "l").c_str()));
}

// A link in place of any file of a pair is never written through: not by the
// writer's open, not by the rotation's member, not by the reopen after it. The
// input stays for a later rotation, and the daemon log says why.
TEST_F(Rotate, WritersFollowNoLink)
{
    const std::string victim = dir / "victim";
    write_file(victim, "secret\n");
    const std::string txt = dir / "x.txt", gz = dir / "x.gz";
    write_file(txt, "text\n");
    ASSERT_EQ(0, symlink(victim.c_str(), gz.c_str()));
    uint32_t known = 0;
    EXPECT_IN_CHILD({
        const int fd = vexd_rotate_pair(txt.c_str(), gz.c_str(), 131072, vexd_gz_rule::off_partition, &known,
                                        vexd_rotate_end::reopen);
        EXPECT_GE(fd, 0);
        if (fd >= 0) close(fd);
    });
    EXPECT_EQ("secret\n", read_file(victim));
    EXPECT_EQ("text\n", read_file(txt));

    ASSERT_EQ(0, unlink(gz.c_str()));
    ASSERT_EQ(0, unlink(txt.c_str()));
    ASSERT_EQ(0, symlink(victim.c_str(), txt.c_str()));
    EXPECT_IN_CHILD({
        vexd_textlog_t log{};
        vexd_textlog_name(&log, "x");
        EXPECT_LT(vexd_textlog_open(&log, O_RDWR), 0);
        char *data = nullptr;
        int len = 0;
        vexd_read_text_file(txt.c_str(), &data, &len);
        EXPECT_EQ(nullptr, data);
        free(data);
    });
    EXPECT_EQ("secret\n", read_file(victim));
    const std::string daemon_log = read_file(dir / "vexd_vexdlog.txt");
    EXPECT_NE(std::string::npos, daemon_log.find("Refused to open " + gz + ": "));
    EXPECT_NE(std::string::npos, daemon_log.find("Refused to open " + txt + ": "));

    // The daemon log's own text as a link: refused, and said on the kernel log.
    ASSERT_EQ(0, rename((dir / "vexd_vexdlog.txt").c_str(), (dir / "old_log").c_str()));
    ASSERT_EQ(0, symlink(victim.c_str(), (dir / "vexd_vexdlog.txt").c_str()));
    EXPECT_IN_CHILD({
        fake_system_clear();
        vexd_printf("line\n");
        const auto cmds = fake_system_commands();
        ASSERT_FALSE(cmds.empty());
        EXPECT_NE(std::string::npos, cmds[0].find("Refused to open " + dir / "vexd_vexdlog.txt")) << cmds[0];
    });
    EXPECT_EQ("secret\n", read_file(victim));
}

TEST_F(Rotate, ProcessListAppendsBelowTheThreshold)
{
    std::string txt = dir / "vexd_ps.txt";
    std::string old(65535, 'o');
    write_file(txt, old);
    EXPECT_IN_CHILD({
        fake_system_clear();
        vexd_save_proclist();
        EXPECT_EQ((std::vector<std::string>{"ps >> " + txt}), fake_system_commands());
    });
    std::string text = read_file(txt);
    EXPECT_EQ(0u, text.find(old + marker(1)));
    EXPECT_NE(std::string::npos, text.find("PID", old.size()));
    EXPECT_FALSE(file_exists(dir / "vexd_ps.gz"));
}

TEST_F(Rotate, ProcessListRotatesFromTheThresholdOn)
{
    std::string txt = dir / "vexd_ps.txt", gz = dir / "vexd_ps.gz";
    std::string old(65536, 'o');
    write_file(txt, old);
    EXPECT_IN_CHILD({ vexd_save_proclist(); });
    EXPECT_EQ((std::vector<std::string>{old}), gz_members(gz));
    std::string text = read_file(txt);
    EXPECT_EQ(0u, text.find(marker(1)));
    EXPECT_NE(std::string::npos, text.find("PID"));

    // Past the gzip limit, the old gzip file goes before the next rotation.
    write_file(gz, std::string(131073, 'g'));
    write_file(txt, old);
    EXPECT_IN_CHILD({ vexd_save_proclist(); });
    EXPECT_EQ((std::vector<std::string>{old}), gz_members(gz));
}

}  // namespace
