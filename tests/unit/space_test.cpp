// Free space: the statfs figure and the "Free disk space" line.
#include <gtest/gtest.h>
#include <sys/statfs.h>

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
