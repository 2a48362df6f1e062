// Main log collector: entry to line formatting, malformed entries, and the
// collector thread on a packet-mode FIFO standing in for /dev/log/main.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "collector_util.h"
#include "logcat_srv.h"
#include "tmr.h"

using namespace collector_test;

namespace {

constexpr char GUARD = '\xAA';

struct Entry {
    std::array<char, 4100> buf;
    int len;
};

// An entry as the logger device delivers it, with a payload length field of
// our choosing; the bytes after it are guard bytes.
Entry raw_entry(uint16_t payload_len, int32_t pid, const std::string &payload)
{
    Entry e;
    e.buf.fill(GUARD);
    const int32_t tid = 77, sec = 999999, nsec = 123;
    const uint16_t pad = 0;
    memcpy(e.buf.data(), &payload_len, 2);
    memcpy(e.buf.data() + 2, &pad, 2);
    memcpy(e.buf.data() + 4, &pid, 4);
    memcpy(e.buf.data() + 8, &tid, 4);
    memcpy(e.buf.data() + 12, &sec, 4);
    memcpy(e.buf.data() + 16, &nsec, 4);
    memcpy(e.buf.data() + 20, payload.data(), payload.size());
    e.len = 20 + static_cast<int>(payload.size());
    return e;
}

std::string payload_of(unsigned char pri, const std::string &tag, const std::string &msg)
{
    std::string p(1, static_cast<char>(pri));
    p += tag;
    p += '\0';
    p += msg;
    p += '\0';
    return p;
}

Entry make_entry(unsigned char pri, const std::string &tag, int32_t pid, const std::string &msg)
{
    std::string p = payload_of(pri, tag, msg);
    return raw_entry(static_cast<uint16_t>(p.size()), pid, p);
}

// Formats the entry; checks that nothing past the entry's bytes plus the one
// spare byte was touched.
std::string format(Entry &e, int64_t t)
{
    char line[LOGCAT_LINE_LEN];
    int n = logcat_srv_format_entry(e.buf.data(), e.len, t, line);
    for (size_t i = static_cast<size_t>(e.len) + 1; i < e.buf.size(); i++) {
        if (e.buf[i] != GUARD) {
            ADD_FAILURE() << "byte " << i << " past the entry was written";
            break;
        }
    }
    if (n < 0) return "<dropped>";
    EXPECT_EQ(strlen(line), static_cast<size_t>(n));
    return std::string(line, static_cast<size_t>(n));
}

}  // namespace

TEST(LogcatFormat, PriorityLetters)
{
    const std::string letters = "??VDIWEFS?";
    for (unsigned p = 0; p < letters.size(); p++)
        EXPECT_EQ(letters[p], filterPriToChar(static_cast<unsigned char>(p))) << p;
    EXPECT_EQ('?', filterPriToChar(255));
}

TEST(LogcatFormat, LineLayout)
{
    log_dir();
    Entry e = make_entry(4, "Tag", 123, "hello");
    EXPECT_EQ("[   12.345678] I/Tag     (123): hello\n", format(e, 12345678));

    // The entry's own time and thread id play no part; the clock is ours.
    e = make_entry(6, "Tag", 123, "hello");
    EXPECT_EQ("[    0.000000] E/Tag     (123): hello\n", format(e, 0));
    e = make_entry(2, "T", -5, "x");
    EXPECT_EQ("[    7.000001] V/T       (-5): x\n", format(e, 7000001));

    // Long tags are printed whole, and the seconds field grows as needed.
    e = make_entry(5, "ActivityManagerService", 1, "x");
    EXPECT_EQ("[123456789.012345] W/ActivityManagerService(1): x\n", format(e, 123456789012345LL));
    e = make_entry(0, "Tag", 1, "x");
    EXPECT_EQ("[    1.000000] ?/Tag     (1): x\n", format(e, 1000000));
}

TEST(LogcatFormat, MessageEndsInOneLineBreak)
{
    log_dir();
    Entry e = make_entry(3, "Tag", 9, "done\n");
    EXPECT_EQ("[    1.000000] D/Tag     (9): done\n", format(e, 1000000));
    e = make_entry(3, "Tag", 9, "");
    EXPECT_EQ("[    1.000000] D/Tag     (9): \n", format(e, 1000000));
    e = make_entry(3, "", 9, "");
    EXPECT_EQ("[    1.000000] D/        (9): \n", format(e, 1000000));
    e = make_entry(3, "Tag", 9, "two\nlines");
    EXPECT_EQ("[    1.000000] D/Tag     (9): two\nlines\n", format(e, 1000000));
}

TEST(LogcatFormat, LongLinesAreCutAt4095)
{
    log_dir();
    // 15 + 2 + 30 + 7 + 4040 + 1 = 4095 characters: fits with its line break.
    const std::string tag(30, 't');
    Entry e = make_entry(4, tag, 123, std::string(4040, 'm'));
    std::string line = format(e, 1000000);
    ASSERT_EQ(4095u, line.size());
    EXPECT_EQ('\n', line.back());

    // Four characters more: cut at 4095, and the line break is lost.
    e = make_entry(4, tag, 1234567, std::string(4040, 'm'));
    line = format(e, 1000000);
    ASSERT_EQ(4095u, line.size());
    EXPECT_EQ('m', line.back());
    EXPECT_EQ("[    1.000000] I/" + tag + "(1234567): mmm", line.substr(0, 17 + 30 + 14));
}

TEST(LogcatFormat, MalformedEntriesAreDroppedAndLogged)
{
    log_dir();
    const std::string good = payload_of(4, "Tag", "hello");
    struct Case {
        const char *what;
        Entry e;
    };
    std::vector<Case> cases = {
        {"empty read", raw_entry(0, 1, "")},
        {"payload length past the bytes read", raw_entry(static_cast<uint16_t>(good.size() + 1), 1, good)},
        {"payload length far past the bytes read", raw_entry(65535, 1, good)},
        {"payload length 0", raw_entry(0, 1, good)},
        {"payload length 1", raw_entry(1, 1, good)},
        {"payload length 2", raw_entry(2, 1, good)},
        {"tag without terminator", raw_entry(9, 1, std::string("\x04TagNoEnd"))},
        {"tag ending in the last byte", raw_entry(5, 1, std::string("\x04Tag\0", 5))},
    };
    // Reads shorter than the header.
    for (int n : {19, 1, 0}) {
        cases.push_back({"short header", raw_entry(10, 1, good)});
        cases.back().e.len = n;
        std::fill(cases.back().e.buf.begin() + n, cases.back().e.buf.end(), GUARD);
    }

    const size_t logged_before = count(daemon_log(), "Dropped malformed logger entry");
    for (Case &c : cases) {
        const Entry before = c.e;
        EXPECT_EQ("<dropped>", format(c.e, 1000000)) << c.what;
        EXPECT_TRUE(before.buf == c.e.buf) << c.what << ": a dropped entry is left as it was";
    }
    EXPECT_EQ(logged_before + cases.size(), count(daemon_log(), "Dropped malformed logger entry"));

    // Limits that are still whole entries.
    Entry largest = make_entry(4, "Tag", 1, std::string(4096 - 20 - 6, 'z'));
    ASSERT_EQ(4096, largest.len);
    EXPECT_EQ(4095u, format(largest, 0).size());
    Entry trailing = raw_entry(static_cast<uint16_t>(good.size()), 1, good + "junk");
    EXPECT_EQ("[    0.000000] I/Tag     (1): hello\n", format(trailing, 0));
}

namespace {

// Line length for tag "Tag", pid 123 and seconds below 100000.
constexpr int LINE_OVERHEAD = 33;

std::string numbered_msg(int seq, int line_len)
{
    char head[16];
    snprintf(head, sizeof(head), "m%05d:", seq);
    std::string msg = head;
    msg.resize(static_cast<size_t>(line_len - LINE_OVERHEAD), 'x');
    return msg;
}

}  // namespace

TEST(LogcatCollector, WritesLinesAndRotatesAt262144)
{
    tmr_init();
    const std::string txt = path("vexd_logcat.txt");
    const std::string gz = path("vexd_logcat.gz");
    const std::string fifo = path("logmain");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    int feed = open(fifo.c_str(), O_RDWR);
    ASSERT_GE(feed, 0);
    ASSERT_EQ(0, fcntl(feed, F_SETFL, O_DIRECT));  // one entry per read, as the device does
    auto send = [&](const Entry &e) {
        ASSERT_EQ(e.len, write(feed, e.buf.data(), static_cast<size_t>(e.len)));
    };

    char *data = reinterpret_cast<char *>(0x1);
    int len = 77;
    logcat_srv_getlogdata(nullptr, &len);
    logcat_srv_getlogdata(&data, nullptr);
    EXPECT_EQ(77, len);
    EXPECT_EQ(reinterpret_cast<char *>(0x1), data);

    const std::string earlier = "left from an earlier run\n";
    write_file(txt, earlier);
    logcat_srv_dev_path = fifo.c_str();
    ASSERT_EQ(0, logcat_srv_init());
    ASSERT_TRUE(wait_until([&] { return read_file(txt).size() > earlier.size(); }));
    const std::string head = read_file(txt);
    ASSERT_EQ(0u, head.find(earlier + MARKER_HEAD)) << head;

    // Real entries through the thread, one line each.
    std::vector<std::string> sent;
    long expected = static_cast<long>(head.size());
    auto send_line = [&](int line_len) {
        sent.push_back(numbered_msg(static_cast<int>(sent.size()), line_len));
        send(make_entry(4, "Tag", 123, sent.back()));
        expected += line_len;
    };
    auto fill_to = [&](long target) {
        while (expected < target) {
            long left = target - expected;
            send_line(left <= 3033 ? static_cast<int>(left) : 2033);
        }
    };

    // One byte short of the limit: no rotation.
    fill_to(262143);
    ASSERT_TRUE(wait_until([&] { return size_of(txt) == 262143; }));
    usleep(100000);
    EXPECT_EQ(262143, size_of(txt));
    EXPECT_FALSE(exists(gz));

    // The next line takes it past: written to the old file, then archived.
    send_line(100);
    ASSERT_TRUE(wait_until([&] { return size_of(txt) == 0 && exists(gz); }));
    const long first_rotation = expected;

    // The new file carries no marker; landing exactly on 262144 rotates it.
    expected = 0;
    fill_to(262144);
    // The member is on disk before the text is emptied: wait for both.
    ASSERT_TRUE(wait_until([&] {
        return static_cast<long>(gunzip(gz).size()) == first_rotation + 262144 && size_of(txt) == 0;
    }));

    const std::string all = gunzip(gz);
    ASSERT_EQ(0u, all.find(head));
    const std::regex line_re(R"(\[ {0,4}\d{1,5}\.\d{6}\] I/Tag     \(123\): (m\d{5}:x*)\n)");
    std::vector<std::string> got;
    auto at = all.cbegin() + static_cast<std::ptrdiff_t>(head.size());
    std::smatch m;
    while (std::regex_search(at, all.cend(), m, line_re, std::regex_constants::match_continuous)) {
        got.push_back(m[1]);
        at = m[0].second;
    }
    EXPECT_EQ("", std::string(at, all.cend()).substr(0, 200)) << "text that is not a line of ours";
    ASSERT_EQ(sent.size(), got.size());
    for (size_t i = 0; i < sent.size(); i++) ASSERT_EQ(sent[i], got[i]) << "line " << i;

    // A malformed entry is dropped with one daemon log line; collection goes on.
    const size_t dropped_before = count(daemon_log(), "Dropped malformed logger entry");
    std::string p = payload_of(4, "Tag", "bad");
    send(raw_entry(static_cast<uint16_t>(p.size() + 40), 123, p));
    send(make_entry(6, "After", 5, "still here"));
    ASSERT_TRUE(wait_until([&] { return size_of(txt) > 0; }));
    const std::string now = read_file(txt);
    EXPECT_TRUE(
        std::regex_match(now, std::regex(R"(\[ {0,4}\d{1,5}\.\d{6}\] E/After   \(5\): still here\n)")))
        << now;
    EXPECT_EQ(dropped_before + 1, count(daemon_log(), "Dropped malformed logger entry"));

    // The copy operation hands back the current text file only.
    logcat_srv_getlogdata(&data, &len);
    ASSERT_NE(nullptr, data);
    EXPECT_EQ(now, std::string(data, static_cast<size_t>(len)));
    free(data);

    ASSERT_EQ(0, unlink(txt.c_str()));
    logcat_srv_getlogdata(&data, &len);
    EXPECT_EQ(nullptr, data);
    EXPECT_EQ(0, len);
}
