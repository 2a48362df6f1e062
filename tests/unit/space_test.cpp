// Free space: the statfs figure and the "Free disk space" line.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>

#include "core_test_util.h"
#include "vexd.h"

namespace {

class Space : public ::testing::Test {
protected:
    TempDir dir;
    void SetUp() override
    {
        vexd_set_startcnt_path((dir / "vexd_startcnt").c_str());
        vexd_log_dir_path = dir.path.c_str();
    }
    void TearDown() override { vexd_log_dir_path = nullptr; }
};

TEST_F(Space, FreeSpaceCountsReservedBlocks)
{
    struct statfs before {
    }, after{};
    ASSERT_EQ(0, statfs(dir.path.c_str(), &before));
    int64_t free_bytes = vexd_check_fsquota();
    ASSERT_EQ(0, statfs(dir.path.c_str(), &after));
    // Other processes may write meanwhile; the figure lies between the two.
    int64_t lo = static_cast<int64_t>(std::min(before.f_bfree, after.f_bfree)) * before.f_bsize;
    int64_t hi = static_cast<int64_t>(std::max(before.f_bfree, after.f_bfree)) * before.f_bsize;
    EXPECT_GE(free_bytes, lo);
    EXPECT_LE(free_bytes, hi);

    std::string missing = dir / "missing";
    vexd_log_dir_path = missing.c_str();
    EXPECT_EQ(0, vexd_check_fsquota());
    vexd_log_dir_path = nullptr;
    EXPECT_EQ(0, vexd_check_fsquota());
}

// ENOSPC on the log file system stops the daemon only while the disk stays
// full: not when the writer gave the space back, nor on another file system.
TEST_F(Space, FullDiskIsDecidedByTheDiskNotByOneWrite)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a small tmpfs";
    const std::string mnt = dir / "small";
    ASSERT_EQ(0, mkdir(mnt.c_str(), 0777));
    if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=1m") != 0) GTEST_SKIP() << "cannot mount tmpfs";
    vexd_log_dir_path = mnt.c_str();
    const std::string path = mnt + "/log.txt";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ASSERT_GE(fd, 0);
    const std::string block(65536, 'x');
    ssize_t n = 0;
    while ((n = vexd_log_write(fd, block.data(), block.size())) == static_cast<ssize_t>(block.size())) {
    }
    EXPECT_EQ(ENOSPC, errno);

    // Still full a period later: full.
    EXPECT_FALSE(vexd_log_disk_full());
    EXPECT_TRUE(vexd_log_disk_full());
    // The writer cuts its file back: the space is there again, and so it
    // stays until the next ENOSPC.
    ASSERT_EQ(0, ftruncate(fd, 0));
    EXPECT_FALSE(vexd_log_disk_full());
    EXPECT_FALSE(vexd_log_disk_full());
    // Full and given back before main looked twice: never full.
    while (vexd_log_write(fd, block.data(), block.size()) == static_cast<ssize_t>(block.size())) {
    }
    EXPECT_FALSE(vexd_log_disk_full());
    ASSERT_EQ(0, ftruncate(fd, 0));
    EXPECT_FALSE(vexd_log_disk_full());
    close(fd);

    // ENOSPC on another file system than the log directory's is not ours.
    const int other = open("/dev/full", O_WRONLY);
    if (other >= 0) {
        EXPECT_EQ(-1, vexd_log_write(other, "x", 1));
        EXPECT_FALSE(vexd_log_disk_full());
        EXPECT_FALSE(vexd_log_disk_full());
        close(other);
    }
    EXPECT_EQ(0, umount(mnt.c_str()));
}

TEST_F(Space, PrintsizeTable)
{
    struct statfs sfs {};
    ASSERT_EQ(0, statfs(dir.path.c_str(), &sfs));
    std::string blk = " (blkS:" + std::to_string(sfs.f_bsize) + ")\n";
    EXPECT_IN_CHILD({
        ASSERT_GT(vexd_check_fsquota(), 0);  // records the block size
        for (int64_t bytes :
             {819200LL, 1048576LL, 1048577LL, 524288000LL, 1073741824LL, 1610612736LL, 819199LL})
            vexd_printsize(bytes);
        std::string text = read_file(dir / "vexd_vexdlog.txt");
        std::vector<std::string> expect = {" 800.0K", "1024.0K", "   1.0M", " 500.0M",
                                           "1024.0M", "   1.5G", " 800.0K"};
        size_t pos = 0;
        for (const auto &figure : expect) {
            std::string want = "vexd: Free disk space " + figure + blk;
            size_t at = text.find(want, pos);
            EXPECT_NE(std::string::npos, at) << want;
            if (at != std::string::npos) pos = at + want.size();
        }
        EXPECT_EQ(text.size(), pos);
    });
}

}  // namespace
