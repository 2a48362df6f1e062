// File sync service: registration rules, flush order and the service thread.
#include "fssync_srv.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "core_test_util.h"

// Every fsync of the program is recorded here, then done for real.
namespace {
std::mutex synced_mutex;
std::vector<int> synced;
}  // namespace

extern "C" int fsync(int fd)
{
    {
        std::lock_guard<std::mutex> lock(synced_mutex);
        synced.push_back(fd);
    }
    return static_cast<int>(syscall(SYS_fsync, fd));
}

namespace {

std::vector<int> take_synced()
{
    std::lock_guard<std::mutex> lock(synced_mutex);
    std::vector<int> out;
    out.swap(synced);
    return out;
}

class FsSync : public ::testing::Test {
protected:
    TempDir dir;
    std::vector<int> fds;

    int open_file(const std::string &name)
    {
        int fd = open((dir / name).c_str(), O_RDWR | O_CREAT, 0666);
        EXPECT_GT(fd, 0);
        fds.push_back(fd);
        return fd;
    }
    void SetUp() override
    {
        fssync_srv_flush();
        take_synced();
    }
    void TearDown() override
    {
        for (int fd : fds) close(fd);
    }
};

TEST_F(FsSync, RepeatedRegistrationFlushesOnceAndEmptyPeriodFlushesNothing)
{
    int fd = open_file("a");
    for (int i = 0; i < 10; i++) fssync_srv_need_sync(fd);
    EXPECT_TRUE(take_synced().empty());  // registration does no I/O
    EXPECT_EQ(1, fssync_srv_flush());
    EXPECT_EQ(std::vector<int>{fd}, take_synced());

    EXPECT_EQ(0, fssync_srv_flush());
    EXPECT_TRUE(take_synced().empty());
}

TEST_F(FsSync, FifteenDescriptorsPerPeriodInRegistrationOrder)
{
    std::vector<int> order;
    for (int i = 0; i < 16; i++) order.push_back(open_file(std::string("f").append(std::to_string(i))));
    std::reverse(order.begin(), order.end());
    for (int fd : order) fssync_srv_need_sync(fd);
    fssync_srv_need_sync(order[3]);  // a duplicate in a full table changes nothing

    EXPECT_EQ(15, fssync_srv_flush());
    EXPECT_EQ(std::vector<int>(order.begin(), order.begin() + 15), take_synced());

    // The sixteenth was dropped; registered again, it goes into the new period.
    fssync_srv_need_sync(order[15]);
    EXPECT_EQ(1, fssync_srv_flush());
    EXPECT_EQ(std::vector<int>{order[15]}, take_synced());
}

TEST_F(FsSync, DescriptorsTheTableCannotHoldAreFlushedAtOnce)
{
    int low = open_file("low");
    int high = 256 + low;  // its low 8 bits name the other open file
    ASSERT_EQ(high, dup2(low, high));
    fds.push_back(high);

    fssync_srv_need_sync(high);
    EXPECT_EQ(std::vector<int>{high}, take_synced());
    fssync_srv_need_sync(-1);
    EXPECT_TRUE(take_synced().empty());
    // Nothing was stored in the table, least of all as descriptor `low`.
    EXPECT_EQ(0, fssync_srv_flush());
    EXPECT_TRUE(take_synced().empty());
}

TEST_F(FsSync, ClosedDescriptorFailsSilently)
{
    int fd = open_file("gone");
    fssync_srv_need_sync(fd);
    close(fd);
    fds.clear();
    EXPECT_EQ(1, fssync_srv_flush());
    EXPECT_EQ(std::vector<int>{fd}, take_synced());
}

// Runs last: once started, the service thread flushes for the rest of the run.
TEST_F(FsSync, ZServiceThreadFlushesEveryPeriod)
{
    int fd = open_file("svc");
    ASSERT_EQ(0, fssync_srv_init());
    for (int round = 0; round < 2; round++) {
        fssync_srv_need_sync(fd);
        auto start = std::chrono::steady_clock::now();
        std::vector<int> got;
        while (got.empty() && std::chrono::steady_clock::now() - start < std::chrono::seconds(3)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            got = take_synced();
        }
        EXPECT_EQ(std::vector<int>{fd}, got);
    }
}

}  // namespace
