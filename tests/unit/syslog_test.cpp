// Kernel log collector on a FIFO standing in for /proc/kmsg: byte-for-byte
// copy, the marker, rotation above 262144 and the copy operation.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "collector_util.h"
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
