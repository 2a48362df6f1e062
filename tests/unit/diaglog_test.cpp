// Diag module: mask packetisation, name and path refusals, recordings through
// a FIFO standing in for /dev/diag, and the removal of qmdl files.
#include "diaglog.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "file_compress.h"
#include "file_util.h"
#include "full_io.h"
#include "vexd.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// Stands in for the storage selection's answer (this definition is linked
// instead of the daemon's): 1 pretends the dedicated partition is mounted.
static std::atomic<int> fake_cache_partition{0};
int fs_srv_using_cache_partition(void) { return fake_cache_partition.load(); }

namespace {

std::mutex g_log_mutex;
std::string g_log;
std::atomic<int> g_syncs{0};

void capture_print(const char *format, ...)
{
    char line[2048];
    va_list ap;
    va_start(ap, format);
    vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_log += line;
}

void capture_sync(int) { ++g_syncs; }

// The daemon's log write, with a disk that can be made full: it takes
// g_disk_room more bytes (any number while that is negative), and a write
// that does not fit puts in what does, then fails with ENOSPC, as
// vexd_log_write: the bytes that went in, or -1 when none did.
std::atomic<int64_t> g_disk_room{-1};
ssize_t test_write(int fd, const void *buf, size_t len)
{
    const int64_t room = g_disk_room.load();
    if (room < 0) return full_write(fd, buf, len);
    const size_t fits = static_cast<uint64_t>(room) < len ? static_cast<size_t>(room) : len;
    const ssize_t n = fits > 0 ? full_write(fd, buf, fits) : -1;
    g_disk_room = room - static_cast<int64_t>(fits);
    if (fits == len) return n;
    errno = ENOSPC;
    return n;
}

std::string log_text()
{
    std::lock_guard<std::mutex> lock(g_log_mutex);
    return g_log;
}

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
    return n;
}

bool wait_for(const std::function<bool()> &cond, int ms = 5000)
{
    for (int i = 0; i < ms / 5; ++i) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return cond();
}

// This suite's files hold bytes.
void write_file(const std::string &path, const Bytes &data) { test_files::write_file(path, data); }
Bytes read_file(const std::string &path) { return test_files::read_bytes(path); }

Bytes with_header(const Bytes &packet)
{
    Bytes b(4 + packet.size(), 0);
    b[0] = 0x20;
    std::copy(packet.begin(), packet.end(), b.begin() + 4);
    return b;
}

// A device record: little-endian type word, then filler bytes.
Bytes record(uint32_t type, size_t size, uint8_t fill)
{
    Bytes b(size, fill);
    memcpy(b.data(), &type, sizeof type);
    return b;
}

class DiagTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/diagtest.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        diagdir = dir + "/diag_logs";
        vexd_log_dir_path = dir.c_str();
        init(2);
        empty_mask = dir + "/empty.cfg";
        write_file(empty_mask, {});
        missing_dev = dir + "/no-such-device";
        diaglog_dev_path = missing_dev.c_str();
    }

    void TearDown() override
    {
        if (fifo_fd >= 0) close(fifo_fd);
        fs::remove_all(dir);
    }

    void init(int32_t counter, int32_t compress = 0, uint32_t qmdl_limit = 262144,
              uint32_t gz_limit = 1u << 30)
    {
        diaglog_settings_t s = {};
        snprintf(s.log_dir, sizeof s.log_dir, "%s", dir.c_str());
        snprintf(s.mask_file, sizeof s.mask_file, "%s/empty.cfg", dir.c_str());
        s.startup_counter = counter;
        s.qmdl_size_limit = qmdl_limit;
        s.gz_size_limit = gz_limit;
        s.print = capture_print;
        s.need_sync = capture_sync;
        s.compress = compress;
        s.write = test_write;
        g_disk_room = -1;
        ASSERT_EQ(diaglog_init(&s), 0);
        std::lock_guard<std::mutex> lock(g_log_mutex);
        g_log.clear();
    }

    // A FIFO stands in for the device: the test feeds records through its
    // own descriptor, and requests 7 and 9 fail with -1, which the module
    // takes as success.
    void use_fifo_device()
    {
        fifo = dir + "/diag.fifo";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        fifo_fd = open(fifo.c_str(), O_RDWR);
        ASSERT_GE(fifo_fd, 0);
        diaglog_dev_path = fifo.c_str();
    }

    // Feeds one record and waits until the reader has taken it.
    void feed(const Bytes &rec)
    {
        ASSERT_EQ(write(fifo_fd, rec.data(), rec.size()), static_cast<ssize_t>(rec.size()));
        ASSERT_TRUE(wait_for([&] {
            int pending = -1;
            return ioctl(fifo_fd, FIONREAD, &pending) == 0 && pending == 0;
        }));
    }

    std::string qmdl(const std::string &name, int counter = 2)
    {
        return diagdir + "/dl_" + name + "_" + std::to_string(counter) + ".qmdl";
    }

    std::string dir, diagdir, empty_mask, missing_dev, fifo;
    int fifo_fd = -1;
};

// ---- mask loader ----

struct MaskCase {
    const char *what;
    Bytes file;
    std::vector<Bytes> writes;  // packets as they must reach the device, without the type word
};

TEST_F(DiagTest, MaskFileIsCutIntoOneWritePerPacket)
{
    const std::vector<MaskCase> cases = {
        {"three packets",
         {0x73, 0x01, 0x7E, 0x60, 0x7E, 0x7D, 0x5D, 0x02, 0x7E},
         {{0x73, 0x01, 0x7E}, {0x60, 0x7E}, {0x7D, 0x5D, 0x02, 0x7E}}},
        {"two 0x7E in a row", {0x01, 0x02, 0x7E, 0x7E}, {{0x01, 0x02, 0x7E}, {0x7E}}},
        {"trailing bytes dropped", {0x01, 0x7E, 0x02, 0x03}, {{0x01, 0x7E}}},
        {"empty file", {}, {}},
        {"0x7D passed on", {0x7D, 0x5E, 0x7D, 0x7E}, {{0x7D, 0x5E, 0x7D, 0x7E}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
        std::string mask = dir + "/case.cfg";
        write_file(mask, c.file);
        EXPECT_EQ(diaglog_load_mask(sv[0], mask.c_str()), 0);
        std::vector<Bytes> got;
        uint8_t buf[16384];
        ssize_t n;
        while ((n = recv(sv[1], buf, sizeof buf, MSG_DONTWAIT)) > 0) got.emplace_back(buf, buf + n);
        std::vector<Bytes> want;
        for (const auto &w : c.writes) want.push_back(with_header(w));
        EXPECT_EQ(got, want);
        EXPECT_NE(log_text().find("maskfile " + mask + " loaded\n"), std::string::npos);
        close(sv[0]);
        close(sv[1]);
    }
}

TEST_F(DiagTest, OversizeMaskPacketIsSkippedAndNothingOverruns)
{
    // 8188 bytes fill the 8192-byte write exactly; 8189 do not fit.
    Bytes fits(8188, 0x11), too_long(8189, 0x22), next = {0x33, 0x7E};
    fits.back() = 0x7E;
    too_long.back() = 0x7E;
    Bytes file = fits;
    file.insert(file.end(), too_long.begin(), too_long.end());
    file.insert(file.end(), next.begin(), next.end());
    std::string mask = dir + "/big.cfg";
    write_file(mask, file);

    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
    int size = 1 << 20;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    EXPECT_EQ(diaglog_load_mask(sv[0], mask.c_str()), 0);
    std::vector<Bytes> got;
    std::vector<uint8_t> buf(65536);
    ssize_t n;
    while ((n = recv(sv[1], buf.data(), buf.size(), MSG_DONTWAIT)) > 0)
        got.emplace_back(buf.begin(), buf.begin() + n);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], with_header(fits));
    EXPECT_EQ(got[1], with_header(next));
    EXPECT_EQ(count_of(log_text(), "too long"), 1u);
    close(sv[0]);
    close(sv[1]);
}

TEST_F(DiagTest, MissingOrUnboundedMaskFileSendsNothing)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
    EXPECT_EQ(diaglog_load_mask(sv[0], (dir + "/none.cfg").c_str()), -1);
    uint8_t b;
    EXPECT_LT(recv(sv[1], &b, 1, MSG_DONTWAIT), 0);
    EXPECT_NE(log_text().find("Sorry, can't open mask file, please check the device, errno: 2\n"),
              std::string::npos);

    // An endless device, a FIFO without a writer and a file above 1 MiB are
    // refused at once by both the loader and the set-mask command.
    const std::string fifo_mask = dir + "/mask.fifo", big = dir + "/big.cfg";
    ASSERT_EQ(mkfifo(fifo_mask.c_str(), 0600), 0);
    write_file(big, Bytes((1u << 20) + 1, 0x7E));
    for (const std::string &path : {std::string("/dev/zero"), fifo_mask, big}) {
        SCOPED_TRACE(path);
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(diaglog_load_mask(sv[0], path.c_str()), -1);
        EXPECT_EQ(diaglog_setmaskfile(path.c_str()), -1);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
        EXPECT_NE(
            log_text().find("maskfile " + path + " refused: not a regular file of at most 1048576 bytes\n"),
            std::string::npos);
        EXPECT_LT(recv(sv[1], &b, 1, MSG_DONTWAIT), 0);
    }
    EXPECT_EQ(diaglog_setmaskfile(empty_mask.c_str()), 0);
    close(sv[0]);
    close(sv[1]);
}

// ---- refusals ----

TEST_F(DiagTest, OnRefusesNamesThatCannotFormAFileName)
{
    EXPECT_EQ(diaglog_on("a/b"), -1);
    EXPECT_EQ(diaglog_on("../up"), -1);
    // Both the qmdl path and its gzip partner's must fit 255 characters: a
    // cut path loses its "_<count>.qmdl" ending, and with compression on
    // both could cut to the same name.
    const size_t longest = 255 - (diagdir + "/dl__2.qmdl.gz").size();
    EXPECT_EQ(diaglog_on(std::string(longest + 1, 'n').c_str()), -1);
    EXPECT_NE(log_text().find("ERR: log name refused, it must fit " + std::to_string(longest) + " bytes"),
              std::string::npos);
    EXPECT_EQ(diaglog_on(std::string(256, 'n').c_str()), -1);
    EXPECT_EQ(log_text().find("Failed to open /dev/diag"), std::string::npos)
        << "refused names must not open the device";

    // The longest name that fits is taken and the (missing) device is tried.
    EXPECT_EQ(diaglog_on(std::string(longest, 'n').c_str()), -1);
    EXPECT_NE(log_text().find("Failed to open /dev/diag\n"), std::string::npos);

    // None of that left the module started.
    use_fifo_device();
    EXPECT_EQ(diaglog_on("ok"), 0);
    feed(record(DEINIT_TYPE, 4, 0));
    EXPECT_EQ(diaglog_off(), 0);
}

TEST_F(DiagTest, OffWithoutADeviceIsAFailure)
{
    // Nothing could be asked to stop: the answer must not claim success.
    EXPECT_EQ(diaglog_off(), -1);
    EXPECT_NE(log_text().find("Failed to open /dev/diag\n"), std::string::npos);
    EXPECT_EQ(log_text().find("Modem logs are now off"), std::string::npos);

    use_fifo_device();
    EXPECT_EQ(diaglog_off(), 0);
    EXPECT_NE(log_text().find("Modem logs are now off\n"), std::string::npos);
}

TEST_F(DiagTest, SetMaskRefusesOverlongPathAndKeepsTheCurrentOne)
{
    use_fifo_device();
    std::string kept = dir + "/kept.cfg";
    write_file(kept, {});
    EXPECT_EQ(diaglog_setmaskfile(kept.c_str()), 0);
    EXPECT_EQ(diaglog_setmaskfile(("/" + std::string(255, 'm')).c_str()), -1);
    EXPECT_EQ(diaglog_on("m"), 0);
    EXPECT_NE(log_text().find("maskfile " + kept + " loaded\n"), std::string::npos);
    feed(record(DEINIT_TYPE, 4, 0));
    EXPECT_EQ(diaglog_off(), 0);

    // A missing file is stored all the same: the next recording starts but answers -1.
    std::string missing = dir + "/missing.cfg";
    EXPECT_EQ(diaglog_setmaskfile(missing.c_str()), -1);
    EXPECT_NE(log_text().find("maskfile " + missing + " was not found!\n"), std::string::npos);
    EXPECT_EQ(diaglog_on("m"), -1);
    EXPECT_NE(log_text().find("Sorry, can't open mask file"), std::string::npos);
    EXPECT_EQ(diaglog_on("m"), -1);
    EXPECT_NE(log_text().find("ERR: Modem logs already started!!\n"), std::string::npos);
    feed(record(DEINIT_TYPE, 4, 0));
    EXPECT_EQ(diaglog_off(), 0);
    EXPECT_EQ(diaglog_setmaskfile(empty_mask.c_str()), 0);
}

// ---- recordings ----

TEST_F(DiagTest, RecordingKeepsDataRecordsAndAnEarlyExitNotice)
{
    use_fifo_device();
    ASSERT_EQ(diaglog_on("abc"), 0);
    EXPECT_EQ(diaglog_on("abc"), -1);
    EXPECT_EQ(count_of(log_text(), "ERR: Modem logs already started!!\n"), 1u);

    Bytes a = record(0x20, 100, 0xA1), other = record(0x30, 50, 0xB2), b = record(0x20, 4000, 0xC3);
    feed(a);
    feed(other);
    feed(b);
    Bytes want = a;
    want.reserve(a.size() + b.size());
    want.insert(want.end(), b.begin(), b.end());
    EXPECT_TRUE(wait_for([&] { return read_file(qmdl("abc")) == want; }));
    EXPECT_GE(g_syncs.load(), 2);

    // The device ends the recording by itself; the module stays started
    // until an off, and that off must not wait out the 3 s.
    feed(record(DEINIT_TYPE, 8, 0));
    ASSERT_TRUE(wait_for(
        [] { return log_text().find("Got DEINIT_TYPE! now exiting thread..\n") != std::string::npos; }));
    EXPECT_EQ(diaglog_on("abc"), -1);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(diaglog_off(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));
    EXPECT_EQ(log_text().find("Timeout"), std::string::npos);
    EXPECT_NE(log_text().find("Modem logs are now off\n"), std::string::npos);
    EXPECT_EQ(read_file(qmdl("abc")), want);

    // A second recording with the same name appends.
    ASSERT_EQ(diaglog_on("abc"), 0);
    Bytes c = record(0x20, 64, 0xD4);
    feed(c);
    want.insert(want.end(), c.begin(), c.end());
    EXPECT_TRUE(wait_for([&] { return read_file(qmdl("abc")) == want; }));
    feed(record(DEINIT_TYPE, 4, 0));
    EXPECT_EQ(diaglog_off(), 0);
    EXPECT_EQ(read_file(qmdl("abc")), want);
}

// Records that cannot be written would be lost silently while the device
// goes on handing them out: the recording ends, and says why. The record
// that met the full disk is not left in part: with no length fields, a
// reader would take its cut end for the start of another.
TEST_F(DiagTest, FailedQmdlWriteEndsTheRecordingWithALine)
{
    use_fifo_device();
    ASSERT_EQ(diaglog_on("full"), 0);
    const Bytes a = record(0x20, 100, 0xA1);
    feed(a);
    EXPECT_TRUE(wait_for([&] { return read_file(qmdl("full")) == a; }));
    g_disk_room = 50;
    feed(record(0x20, 200, 0xB2));
    const std::string line = "Failed to write " + qmdl("full") + ", errno=28; recording ended\n";
    ASSERT_TRUE(wait_for([&] { return log_text().find(line) != std::string::npos; }));
    const Bytes c = record(0x20, 300, 0xC3);  // no longer read: nothing more is tried
    ASSERT_EQ(write(fifo_fd, c.data(), c.size()), static_cast<ssize_t>(c.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(count_of(log_text(), "Failed to write"), 1u);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(diaglog_off(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));
    EXPECT_EQ(read_file(qmdl("full")), a);
}

// A link in place of the qmdl file is not written through, wherever it
// leads: one line says so, and the records go nowhere.
TEST_F(DiagTest, LinkInPlaceOfTheQmdlFileIsNotWrittenThrough)
{
    use_fifo_device();
    const std::string target = dir + "/elsewhere";
    write_file(target, {1, 2, 3});
    ASSERT_EQ(symlink(target.c_str(), qmdl("lnk").c_str()), 0);
    ASSERT_EQ(diaglog_on("lnk"), 0);
    feed(record(0x20, 100, 0xA1));
    feed(record(DEINIT_TYPE, 4, 0));
    EXPECT_EQ(diaglog_off(), 0);
    EXPECT_EQ(read_file(target), (Bytes{1, 2, 3}));
    EXPECT_TRUE(fs::is_symlink(qmdl("lnk")));
    EXPECT_EQ(count_of(log_text(), qmdl("lnk") + " is a symbolic link, not written through\n"), 1u);
}

TEST_F(DiagTest, SilentReaderIsForcedOutAfterTheTimeout)
{
    use_fifo_device();
    ASSERT_EQ(diaglog_on("quiet"), 0);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(diaglog_off(), 0);
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, std::chrono::milliseconds(2900));
    EXPECT_LT(took, std::chrono::seconds(6));
    std::string log = log_text();
    size_t timeout = log.find("diaglog_off: Timeout waiting diaglog_thread exit.");
    size_t quit = log.find("Quit diaglog thread.");
    size_t off = log.find("Modem logs are now off\n");
    ASSERT_NE(timeout, std::string::npos);
    ASSERT_NE(quit, std::string::npos);
    ASSERT_NE(off, std::string::npos);
    EXPECT_LT(timeout, quit);
    EXPECT_LT(quit, off) << "off must answer only after the reader has ended";

    // The module is idle again and records as before.
    ASSERT_EQ(diaglog_on("quiet"), 0);
    Bytes r = record(0x20, 32, 0x5A);
    feed(r);
    EXPECT_TRUE(wait_for([&] { return read_file(qmdl("quiet")) == r; }));
    feed(record(DEINIT_TYPE, 4, 0));
    EXPECT_EQ(diaglog_off(), 0);
}

// system(3) ignores SIGQUIT process-wide while its command runs and then
// puts back what it found. A forced stop must end the reader whatever the
// disposition was while the recording started or when the signal is sent.
TEST_F(DiagTest, ForcedStopEndsTheReaderWhateverSystemDidToSigquit)
{
    use_fifo_device();
    diaglog_install_quit_handler();  // as main() does before any thread
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction saved = {};

    // A command runs on another thread while the recording starts, and
    // ends before the stop: the handler it puts back must be the reader's.
    ASSERT_EQ(sigaction(SIGQUIT, &ignore, &saved), 0);
    ASSERT_EQ(diaglog_on("sq"), 0);
    ASSERT_EQ(sigaction(SIGQUIT, &saved, nullptr), 0);
    EXPECT_EQ(diaglog_off(), 0);

    // A command is still running when the stop sends its signal.
    ASSERT_EQ(diaglog_on("sq"), 0);
    ASSERT_EQ(sigaction(SIGQUIT, &ignore, &saved), 0);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(diaglog_off(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(6));
    ASSERT_EQ(sigaction(SIGQUIT, &saved, nullptr), 0);
    EXPECT_EQ(count_of(log_text(), "Quit diaglog thread."), 2u);
    EXPECT_EQ(count_of(log_text(), "Modem logs are now off\n"), 2u);
}

TEST_F(DiagTest, CompressionPacksAboveTheLimitAndAtTheEnd)
{
    init(2, 1, 262144);
    use_fifo_device();
    ASSERT_EQ(diaglog_on("z"), 0);
    // 65 records of 4032 bytes: 262080 bytes, not above the limit; the 66th passes it.
    Bytes all;
    for (int i = 0; i < 66; ++i) {
        Bytes r = record(0x20, 4032, static_cast<uint8_t>(i));
        feed(r);
        all.insert(all.end(), r.begin(), r.end());
        if (i == 64) {
            ASSERT_TRUE(wait_for([&] { return read_file(qmdl("z")).size() == all.size(); }));
            EXPECT_FALSE(fs::exists(qmdl("z") + ".gz"));
        }
    }
    ASSERT_TRUE(wait_for([&] { return fs::exists(qmdl("z") + ".gz") && fs::file_size(qmdl("z")) == 0; }));
    Bytes tail = record(0x20, 100, 0xEE);
    feed(tail);
    all.insert(all.end(), tail.begin(), tail.end());
    feed(record(DEINIT_TYPE, 4, 0));
    EXPECT_EQ(diaglog_off(), 0);

    EXPECT_FALSE(fs::exists(qmdl("z")));
    std::string out = dir + "/unpacked";
    ASSERT_GT(file_uncompress((qmdl("z") + ".gz").c_str(), out.c_str()), 0);
    EXPECT_EQ(read_file(out), all);
    std::string size = std::to_string(fs::file_size(qmdl("z") + ".gz"));
    EXPECT_NE(log_text().find("final compress: " + qmdl("z") + ".gz is now " + size + " bytes\n"),
              std::string::npos);
    init(2);
}

// The qmdl files' rule for a gzip file over its limit: it goes before the
// next compression, also on the dedicated log partition (where the text logs
// keep theirs), in the loop and at the end; and no rotation record stays.
TEST_F(DiagTest, OverLimitGzipGoesAlsoOnTheLogPartition)
{
    fake_cache_partition = 1;
    init(2, 1, 8192, 10);
    use_fifo_device();
    ASSERT_EQ(diaglog_on("g"), 0);
    const std::string gz = qmdl("g") + ".gz", out = dir + "/unpacked";
    Bytes second;
    for (int i = 0; i < 6; ++i) {
        Bytes r = record(0x20, 4032, static_cast<uint8_t>(i));
        feed(r);
        if (i >= 3) second.insert(second.end(), r.begin(), r.end());
        // Two records are on disk once the third is read: an empty qmdl file
        // is one just rotated.
        if (i == 2 || i == 5) {
            ASSERT_TRUE(wait_for([&] { return fs::exists(gz) && fs::file_size(qmdl("g")) == 0; }));
        }
    }
    ASSERT_GT(file_uncompress(gz.c_str(), out.c_str()), 0);
    EXPECT_EQ(read_file(out), second);
    const Bytes tail = record(0x20, 100, 0xEE);
    feed(tail);
    feed(record(DEINIT_TYPE, 4, 0));
    EXPECT_EQ(diaglog_off(), 0);
    ASSERT_GT(file_uncompress(gz.c_str(), out.c_str()), 0);
    EXPECT_EQ(read_file(out), tail);
    EXPECT_FALSE(fs::exists(qmdl("g")));
    EXPECT_FALSE(fs::exists(gz + ".part"));

    // dialog_compress, the same rule on its own.
    write_file(qmdl("g"), Bytes{1, 2, 3});
    uint32_t known = 11;
    const uint32_t returned = dialog_compress(qmdl("g").c_str(), gz.c_str(), 10, &known);
    EXPECT_EQ(static_cast<uint32_t>(fs::file_size(gz)), returned);
    ASSERT_GT(file_uncompress(gz.c_str(), out.c_str()), 0);
    EXPECT_EQ(read_file(out), (Bytes{1, 2, 3}));
    fake_cache_partition = 0;
    init(2);
}

// ---- removal ----

class DiagRmTest : public DiagTest {
protected:
    void make(const std::vector<std::string> &names)
    {
        for (const auto &n : names) write_file(diagdir + "/" + n, {1, 2, 3});
    }
    bool has(const std::string &name) { return fs::exists(diagdir + "/" + name); }
};

TEST_F(DiagRmTest, FilterIsACaseSensitiveSubstringAndDirectoriesStay)
{
    make({"dl_abc_3.qmdl", "dl_xabcx_7.qmdl.gz", "dl_abd_3.qmdl", "dl_ABC_3.qmdl", "notes_abc.txt"});
    fs::create_directory(diagdir + "/abc_qmdl_dir");
    write_file(diagdir + "/abc_qmdl_dir/dl_abc_1.qmdl", {1});

    EXPECT_EQ(diaglog_rmlogfile("abc"), 0);
    EXPECT_FALSE(has("dl_abc_3.qmdl"));
    EXPECT_FALSE(has("dl_xabcx_7.qmdl.gz"));
    EXPECT_TRUE(has("dl_abd_3.qmdl"));
    EXPECT_TRUE(has("dl_ABC_3.qmdl"));
    EXPECT_TRUE(has("notes_abc.txt"));
    EXPECT_TRUE(has("abc_qmdl_dir/dl_abc_1.qmdl"));
    EXPECT_NE(log_text().find("Deleted " + diagdir + "/dl_abc_3.qmdl\n"), std::string::npos);

    EXPECT_EQ(diaglog_rmlogfile(""), 0);
    EXPECT_FALSE(has("dl_abd_3.qmdl"));
    EXPECT_FALSE(has("dl_ABC_3.qmdl"));
    EXPECT_TRUE(has("notes_abc.txt"));
    EXPECT_TRUE(has("abc_qmdl_dir/dl_abc_1.qmdl"));

    // Nothing left to delete: 0 and no message.
    std::string before = log_text();
    EXPECT_EQ(diaglog_rmlogfile(""), 0);
    EXPECT_EQ(log_text(), before);
}

TEST_F(DiagRmTest, FirstFailureStopsTheScan)
{
    // This name fits the directory but its full path does not fit 256 bytes;
    // a cut path must never be removed in its place.
    std::string longname = "dl_" + std::string(255 - diagdir.size(), 'x') + ".qmdl";
    ASSERT_GT(diagdir.size() + 1 + longname.size(), 255u);
    make({"a.qmdl", "b.qmdl", longname, "c.qmdl", "d.qmdl"});

    std::vector<std::string> order;
    DIR *d = opendir(diagdir.c_str());
    while (dirent *e = readdir(d))
        if (strstr(e->d_name, "qmdl")) order.push_back(e->d_name);
    closedir(d);

    EXPECT_EQ(diaglog_rmlogfile(""), -1);
    EXPECT_EQ(count_of(log_text(), "Failed to remove file "), 1u);
    bool after = false;
    for (const auto &n : order) {
        if (n == longname) after = true;
        EXPECT_EQ(has(n), after) << n;
    }
}

TEST_F(DiagRmTest, MissingDiagDirectoryFails)
{
    fs::remove_all(diagdir);
    EXPECT_EQ(diaglog_rmlogfile(""), -1);
    EXPECT_NE(log_text().find("Failed to open dir " + diagdir), std::string::npos);
}

TEST_F(DiagRmTest, OnlyTheFirstStartDeletesRecordings)
{
    make({"dl_a_1.qmdl", "dl_b_4.qmdl.gz", "keep.txt"});
    init(2);
    EXPECT_TRUE(has("dl_a_1.qmdl"));
    EXPECT_TRUE(has("dl_b_4.qmdl.gz"));
    init(1);
    EXPECT_FALSE(has("dl_a_1.qmdl"));
    EXPECT_FALSE(has("dl_b_4.qmdl.gz"));
    EXPECT_TRUE(has("keep.txt"));
}

TEST(DiagInitTest, MissingServicesAreRefused)
{
    diaglog_settings_t s = {};
    s.print = capture_print;
    EXPECT_EQ(diaglog_init(&s), -1);
    s.print = nullptr;
    s.need_sync = capture_sync;
    EXPECT_EQ(diaglog_init(&s), -1);
    s.print = capture_print;
    EXPECT_EQ(diaglog_init(&s), -1);  // no write
}

}  // namespace
