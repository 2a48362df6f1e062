// Trace log channel: moving files, and the enable/write/disable state checks
// with rotation. The watched file lives in /system, so the channel tests run
// only where the host has no /system (the handset tests cover the watcher).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "collector_util.h"
#include "trclog_srv.h"

using namespace collector_test;

namespace {

std::string pattern(size_t n, char seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = static_cast<char>((i * 13 + static_cast<size_t>(seed)) & 0xff);
    return s;
}

}  // namespace

TEST(TrclogMove, AppendsToDestinationAndRemovesSource)
{
    const std::string src = path("mv_src1"), dst = path("mv_dst1");
    const std::string data = pattern(100000, 1);  // several copy blocks
    write_file(src, data);
    write_file(dst, "old text\n");
    EXPECT_EQ(0, trclog_move_file(src.c_str(), dst.c_str()));
    EXPECT_FALSE(exists(src));
    EXPECT_TRUE(same_text("old text\n" + data, read_file(dst)));
    EXPECT_EQ(1u, count(daemon_log(), "Moved " + src + " to " + dst + " (100000 bytes)..\n"));

    // A missing destination is created; an empty source is moved as well.
    const std::string src2 = path("mv_src2"), dst2 = path("mv_dst2");
    write_file(src2, "");
    EXPECT_EQ(0, trclog_move_file(src2.c_str(), dst2.c_str()));
    EXPECT_FALSE(exists(src2));
    EXPECT_TRUE(exists(dst2));
    EXPECT_EQ(0, size_of(dst2));
}

TEST(TrclogMove, FilesThatCannotBeOpened)
{
    const std::string src = path("mv_src3"), dst = path("mv_dst3");
    EXPECT_EQ(-1, trclog_move_file(src.c_str(), dst.c_str()));
    EXPECT_FALSE(exists(dst)) << "no destination is made for a missing source";
    EXPECT_EQ(1u, count(daemon_log(), "move_file: open " + src + ", errno=2\n"));

    write_file(src, "keep me");
    const std::string nowhere = path("no_such_dir/dst");
    EXPECT_EQ(-1, trclog_move_file(src.c_str(), nowhere.c_str()));
    EXPECT_EQ("keep me", read_file(src));
    EXPECT_EQ(1u, count(daemon_log(), "move_file: open " + nowhere + ", errno=2\n"));
}

// A watched name that is a FIFO would block the copy, and the trace lock with
// it, for ever; a link could lead to a device that never ends or to a file
// that is not ours. Each is left alone at once, with one line.
TEST(TrclogMove, OnlyRegularSourcesAreTakenOver)
{
    const std::string fifo = path("mv_fifo"), link = path("mv_link"), target = path("mv_target");
    const std::string dst = path("mv_dst5");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    write_file(target, "not ours\n");
    ASSERT_EQ(0, symlink(target.c_str(), link.c_str()));
    ASSERT_EQ(0, symlink("/dev/zero", path("mv_zero").c_str()));
    for (const std::string &src : {fifo, link, path("mv_zero")}) {
        EXPECT_EQ(TRCLOG_MOVE_REFUSED, trclog_move_file(src.c_str(), dst.c_str())) << src;
        EXPECT_EQ(1u, count(daemon_log(), "move_file: " + src + " is not a regular file, left alone\n")) << src;
        struct stat st {};
        EXPECT_EQ(0, lstat(src.c_str(), &st)) << src;
    }
    EXPECT_EQ("not ours\n", read_file(target));
    EXPECT_FALSE(exists(dst));
}

TEST(TrclogMove, SourceIsKeptUnlessEveryByteArrived)
{
    const std::string src = path("mv_src4");
    const std::string data = pattern(100000, 2);
    write_file(src, data);

    // Every write fails.
    if (exists("/dev/full")) {
        EXPECT_EQ(-1, trclog_move_file(src.c_str(), "/dev/full"));
        EXPECT_TRUE(same_text(data, read_file(src)));
    }

    // The destination takes the first block and part of the second, then
    // refuses more: the source stays whole, the destination as it was.
    const std::string dst = path("mv_dst4");
    write_file(dst, "before\n");
    struct rlimit old {};
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
    struct rlimit small = old;
    small.rlim_cur = 50000;
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    const int rc = trclog_move_file(src.c_str(), dst.c_str());
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &old));
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(-1, rc);
    EXPECT_TRUE(same_text(data, read_file(src)));
    EXPECT_EQ("before\n", read_file(dst));
    EXPECT_EQ(1u, count(daemon_log(), "move_file: " + src + " to " + dst +
                                          " failed after 32768 bytes, errno=27; " + src + " kept\n"));

    // With room again the same move completes, without a repeated part.
    EXPECT_EQ(0, trclog_move_file(src.c_str(), dst.c_str()));
    EXPECT_TRUE(same_text("before\n" + data, read_file(dst)));
    EXPECT_FALSE(exists(src));
}

TEST(TrclogChannel, StateChecksRotationAndArchive)
{
    if (exists("/system")) GTEST_SKIP() << "this host has a /system, which the trace watcher would write to";
    const std::string txt = path("vexd_trclog.txt");
    const std::string gz = path("vexd_trclog.gz");

    // Not enabled: writes are refused and disable changes nothing.
    EXPECT_EQ(-1, trclog_srv_write("abc", 3));
    EXPECT_EQ(0, trclog_srv_disable());
    EXPECT_FALSE(exists(txt));
    EXPECT_FALSE(exists(gz));

    // Text left by a run that ended while enabled is archived at enable,
    // and the text file starts empty (the watched files are absent here).
    write_file(txt, "left over\n");
    EXPECT_EQ(0, trclog_srv_enable());
    EXPECT_EQ("left over\n", gunzip(gz));
    EXPECT_EQ(0, size_of(txt));
    EXPECT_EQ(1u, count(daemon_log(), "move_file: open /system/trclog.txt, errno=2\n"));

    std::string written;
    auto put = [&](const std::string &s) {
        EXPECT_EQ(0, trclog_srv_write(s.data(), static_cast<int>(s.size())));
        written += s;
    };
    put("abc");
    EXPECT_EQ("abc", read_file(txt));

    // Enabling again changes nothing.
    const long gz_size = size_of(gz);
    EXPECT_EQ(0, trclog_srv_enable());
    EXPECT_EQ("abc", read_file(txt));
    EXPECT_EQ(gz_size, size_of(gz));
    put("def");
    EXPECT_EQ("abcdef", read_file(txt));

    // Landing exactly on 262144 rotates; the next write starts a new file.
    for (int i = 0; written.size() < 262144; i++) {
        size_t n = std::min<size_t>(4096, 262144 - written.size());
        put(pattern(n, static_cast<char>(i)));
        if (written.size() < 262144) {
            ASSERT_EQ(static_cast<long>(written.size()), size_of(txt));
        }
    }
    EXPECT_EQ(0, size_of(txt));
    EXPECT_TRUE(same_text("left over\n" + written, gunzip(gz)));
    put("next");
    EXPECT_EQ("next", read_file(txt));

    // A write that the file refuses is reported, not answered with success.
    struct rlimit old {};
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
    struct rlimit full = old;
    full.rlim_cur = static_cast<rlim_t>(size_of(txt));
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &full));
    const int refused = trclog_srv_write("lost", 4);
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &old));
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(-1, refused);
    EXPECT_EQ("next", read_file(txt));

    // Both sockets writing at once: every record arrives whole.
    const std::string before = read_file(txt);
    auto writer = [](char id) {
        for (int i = 0; i < 200; i++) {
            std::string rec(99, id);
            rec += '\n';
            EXPECT_EQ(0, trclog_srv_write(rec.data(), static_cast<int>(rec.size())));
        }
    };
    std::thread a(writer, 'a'), b(writer, 'b');
    a.join();
    b.join();
    const std::string mixed = read_file(txt).substr(before.size());
    ASSERT_EQ(40000u, mixed.size());
    for (size_t off = 0; off < mixed.size(); off += 100) {
        EXPECT_EQ(std::string(99, mixed[off]) + "\n", mixed.substr(off, 100)) << off;
    }
    written += mixed;

    // Disable archives the text once and empties the file.
    EXPECT_EQ(0, trclog_srv_disable());
    EXPECT_EQ(0, size_of(txt));
    EXPECT_TRUE(same_text("left over\n" + written, gunzip(gz)));
    EXPECT_EQ(-1, trclog_srv_write("late", 4));
    EXPECT_EQ(0, size_of(txt));
    const long archived = size_of(gz);
    EXPECT_EQ(0, trclog_srv_disable());
    EXPECT_EQ(archived, size_of(gz));

    // A new session compresses nothing a second time.
    EXPECT_EQ(0, trclog_srv_enable());
    put("again");
    EXPECT_EQ(0, trclog_srv_disable());
    EXPECT_TRUE(same_text("left over\n" + written, gunzip(gz)));

    // Enabling joins the watcher that the last disable started.
    EXPECT_EQ(0, trclog_srv_enable());
    EXPECT_TRUE(same_text("left over\n" + written, gunzip(gz)));
}
