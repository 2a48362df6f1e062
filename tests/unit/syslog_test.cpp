// Kernel log collector on a FIFO standing in for /proc/kmsg: byte-for-byte
// copy, the marker, rotation above 262144 and the copy operation; the
// collectors' read queue: a full queue, reads that keep failing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>

#include "collector_util.h"
#include "read_queue.h"
#include "syslog_srv.h"
#include "tmr.h"

using namespace collector_test;

namespace {

// Kernel log text is not interpreted: every byte value goes through.
std::string pattern(size_t from, size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = static_cast<char>(((from + i) * 7 + 3) & 0xff);
    return s;
}

}  // namespace

TEST(SyslogCollector, CopiesBytesAndRotatesAbove262144)
{
    tmr_init();
    const std::string txt = path("vexd_syslog.txt");
    const std::string gz = path("vexd_syslog.gz");
    const std::string fifo = path("kmsg");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    int feed = open(fifo.c_str(), O_RDWR);
    ASSERT_GE(feed, 0);
    auto send = [&](const std::string &s) {
        for (size_t off = 0; off < s.size();) {
            ssize_t n = write(feed, s.data() + off, std::min<size_t>(s.size() - off, 1000));
            ASSERT_GT(n, 0);
            off += static_cast<size_t>(n);
        }
    };

    // Before the collector runs there is nothing to copy; bad arguments touch nothing.
    char *data = reinterpret_cast<char *>(0x1);
    int len = 77;
    syslog_srv_getlogdata(nullptr, &len);
    syslog_srv_getlogdata(&data, nullptr);
    EXPECT_EQ(77, len);
    EXPECT_EQ(reinterpret_cast<char *>(0x1), data);
    syslog_srv_getlogdata(&data, &len);
    EXPECT_EQ(nullptr, data);
    EXPECT_EQ(0, len);

    const std::string earlier = "<6>left from an earlier run\n";
    write_file(txt, earlier);
    syslog_srv_dev_path = fifo.c_str();
    ASSERT_EQ(0, syslog_srv_init());
    ASSERT_TRUE(wait_until([&] { return read_file(txt).size() > earlier.size(); }));
    const std::string head = read_file(txt);
    ASSERT_EQ(0u, head.find(earlier + MARKER_HEAD)) << head;

    // Exactly 262144 bytes (earlier text and marker included) stay put.
    const std::string body = pattern(0, 262144 - head.size());
    send(body);
    ASSERT_TRUE(wait_until([&] { return size_of(txt) == 262144; }));
    usleep(100000);
    EXPECT_FALSE(exists(gz));
    EXPECT_TRUE(same_text(head + body, read_file(txt)));

    syslog_srv_getlogdata(&data, &len);
    ASSERT_NE(nullptr, data);
    ASSERT_EQ(262144, len);
    EXPECT_TRUE(same_text(head + body, std::string(data, static_cast<size_t>(len))));
    free(data);

    // One more byte: it lands in the old file, which then goes to the archive.
    send("X");
    ASSERT_TRUE(wait_until([&] { return size_of(txt) == 0 && exists(gz); }));
    EXPECT_TRUE(same_text(head + body + "X", gunzip(gz)));

    // The next chunk starts the new file, without a marker.
    const std::string more = pattern(5, 5000);
    send(more);
    ASSERT_TRUE(wait_until([&] { return size_of(txt) == 5000; }));
    EXPECT_TRUE(same_text(more, read_file(txt)));
    syslog_srv_getlogdata(&data, &len);
    ASSERT_NE(nullptr, data);
    EXPECT_TRUE(same_text(more, std::string(data, static_cast<size_t>(len))));
    free(data);

    // A second rotation adds a member; the archive reads back in order.
    const std::string rest = pattern(9, 262144 - 5000 + 1);
    send(rest);
    // The member is on disk before the text is emptied: wait for both.
    ASSERT_TRUE(wait_until([&] {
        return gunzip(gz).size() == head.size() + body.size() + 1 + 5000 + rest.size() && size_of(txt) == 0;
    }));
    EXPECT_TRUE(same_text(head + body + "X" + more + rest, gunzip(gz)));

    // An empty text file gives a length of 0; a missing one no block at all.
    syslog_srv_getlogdata(&data, &len);
    EXPECT_EQ(0, len);
    free(data);
    ASSERT_EQ(0, unlink(txt.c_str()));
    syslog_srv_getlogdata(&data, &len);
    EXPECT_EQ(nullptr, data);
    EXPECT_EQ(0, len);
}

// ---- the reader's queue (shared by both collectors) ----

namespace {

bool reader_waits(read_queue_t *q)
{
    std::lock_guard<std::mutex> lock(q->mutex);
    return q->reader_waits;
}

uint64_t failed_reads(read_queue_t *q)
{
    std::lock_guard<std::mutex> lock(q->mutex);
    return q->failed_reads;
}

// Takes records until `want` bytes came; their bytes in order.
std::string take_bytes(read_queue_t *q, size_t want, uint32_t max_read)
{
    std::string got;
    while (got.size() < want) {
        read_queue_rec rec;
        read_queue_take(q, &rec);
        EXPECT_GT(rec.len, 0u);
        EXPECT_LE(rec.len, max_read);
        got.append(rec.data, rec.len);
        read_queue_release(q, &rec);
    }
    return got;
}

}  // namespace

TEST(SyslogReader, FullQueueLosesNothingTheDeviceHeld)
{
    tmr_init();
    log_dir();
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    // 16 KiB of queue: three reads of 4096 bytes, then the reader must wait.
    read_queue_t *q = read_queue_new("full-queue-dev", 16384, 4096);
    ASSERT_NE(nullptr, q);

    // 40 KiB in the device at once: the queue takes 12 KiB, the device holds
    // the rest while the reader waits for room.
    const std::string first = pattern(0, 40960);
    ASSERT_EQ(static_cast<ssize_t>(first.size()), write(fds[1], first.data(), first.size()));
    pthread_t pt;
    ASSERT_EQ(0, read_queue_start_reader(q, fds[0], "test.rd", &pt));
    ASSERT_TRUE(wait_until([&] { return reader_waits(q); }));
    usleep(50000);
    EXPECT_TRUE(reader_waits(q));
    EXPECT_EQ(0u, count(daemon_log(), "full-queue-dev: queue full"));
    EXPECT_TRUE(same_text(first, take_bytes(q, first.size(), 4096)));
    // Once the queue has drained, the wait is reported.
    EXPECT_GE(count(daemon_log(), "full-queue-dev: queue full, reader waited"), 1u);

    // A long stream of reads of every size through the small queue, taken
    // slower than it comes now and then: the records wrap around the buffer
    // many times and arrive whole and in order.
    const std::string stream = pattern(7, 2 << 20);
    std::thread writer([&] {
        unsigned seed = 1;
        for (size_t off = 0; off < stream.size();) {
            seed = seed * 1103515245u + 12345u;
            size_t n = std::min<size_t>(stream.size() - off, 1 + (seed >> 8) % 6000);
            ssize_t w = write(fds[1], stream.data() + off, n);
            if (w <= 0) return;
            off += static_cast<size_t>(w);
        }
    });
    std::string got;
    unsigned seed = 2;
    while (got.size() < stream.size()) {
        read_queue_rec rec;
        read_queue_take(q, &rec);
        got.append(rec.data, rec.len);
        read_queue_release(q, &rec);
        seed = seed * 1103515245u + 12345u;
        if ((seed >> 8) % 64 == 0) usleep(200);
    }
    writer.join();
    EXPECT_TRUE(same_text(stream, got));
}

TEST(SyslogReader, FailedReadsBackOffAndSayItOnce)
{
    tmr_init();
    log_dir();
    // A FIFO that no writer has opened yet: every read returns 0 at once.
    const std::string fifo = path("failing_dev");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, fcntl(fd, F_SETFL, 0));
    read_queue_t *q = read_queue_new("failing-dev", 16384, 4096);
    ASSERT_NE(nullptr, q);
    pthread_t pt;
    ASSERT_EQ(0, read_queue_start_reader(q, fd, "test.rd", &pt));

    // A reader that retried at once would make hundreds of thousands of
    // reads in this time; with the backoff, one every few milliseconds.
    usleep(300000);
    const uint64_t reads = failed_reads(q);
    EXPECT_GE(reads, READ_QUEUE_FAIL_RUN);
    EXPECT_LT(reads, READ_QUEUE_FAIL_RUN + 300000 / (READ_QUEUE_BACKOFF_MS * 1000) + 50);
    EXPECT_EQ(1u, count(daemon_log(), "failing-dev: 16 reads in a row returned 0 or failed"));
    usleep(100000);
    EXPECT_EQ(1u, count(daemon_log(), "failing-dev: 16 reads in a row returned 0 or failed"));

    // Reads succeed again: the data comes through and the end of the run is noted once.
    int feed = open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(feed, 0);
    ASSERT_EQ(5, write(feed, "hello", 5));
    EXPECT_EQ("hello", take_bytes(q, 5, 4096));
    EXPECT_EQ(1u, count(daemon_log(), "failing-dev: reads again after"));
    EXPECT_EQ(1u, count(daemon_log(), "failing-dev: 16 reads in a row"));
}
