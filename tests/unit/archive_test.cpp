// Log directory archive: walk order, skip rules, failures, and the ZIP it
// writes as seen by Python's zipfile and unzip -t.
#include "vexd.h"
#include "zip_writer.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string g_root;  // temporary folder of this test program

std::string read_text(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_text(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

void make_dir(const std::string &path) { ASSERT_EQ(0, mkdir(path.c_str(), 0777)) << path; }

// Output of a shell command and its exit status.
std::string run(const std::string &cmd, int *status)
{
    FILE *p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    size_t n;
    while (p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int rc = p != nullptr ? pclose(p) : -1;
    *status = (rc != -1 && WIFEXITED(rc)) ? WEXITSTATUS(rc) : -1;
    return out;
}

struct entry {
    std::string name;
    std::string comment;
    int method;
    long size;
    bool same;  // file entry: data equals the file at "/" + name now
};

// Entries of the archive in order, read with Python's zipfile (which also
// checks every CRC), after `unzip -t` has accepted the archive.
std::vector<entry> zip_entries(const std::string &zip)
{
    static const char *script =
        "import sys, zipfile\n"
        "z = zipfile.ZipFile(sys.argv[1])\n"
        "assert z.testzip() is None\n"
        "for i in z.infolist():\n"
        "    same = 1\n"
        "    if not i.is_dir():\n"
        "        same = int(z.read(i) == open('/' + i.filename, 'rb').read())\n"
        "    print('%s|%s|%d|%d|%d' % (i.filename, i.comment.decode(), i.compress_type,\n"
        "                              i.file_size, same))\n";
    int status = 0;
    run("unzip -tqq '" + zip + "' >/dev/null 2>&1", &status);
    EXPECT_EQ(0, status) << "unzip -t rejects " << zip;
    write_text(g_root + "/entries.py", script);
    const std::string out = run("python3 " + g_root + "/entries.py '" + zip + "'", &status);
    EXPECT_EQ(0, status) << "zipfile rejects " << zip;
    std::vector<entry> list;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        entry e;
        std::istringstream f(line);
        std::string method, size, same;
        std::getline(f, e.name, '|');
        std::getline(f, e.comment, '|');
        std::getline(f, method, '|');
        std::getline(f, size, '|');
        std::getline(f, same, '|');
        e.method = std::stoi(method);
        e.size = std::stol(size);
        e.same = same == "1";
        list.push_back(e);
    }
    return list;
}

// Entry name of an absolute path: the path without its leading "/".
std::string name_of(const std::string &path) { return path.substr(1); }

std::vector<std::string> names(const std::vector<entry> &list)
{
    std::vector<std::string> out;
    for (const entry &e : list) out.push_back(e.name);
    return out;
}

// The daemon log stays where the first vexd_printf opened it (root/daemon);
// every test archives its own log directory.
std::string daemon_log() { return read_text(g_root + "/daemon/vexd_vexdlog.txt"); }

class Env : public ::testing::Environment {
public:
    void SetUp() override
    {
        char tmpl[] = "/tmp/vexd_archive_test.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        g_root = tmpl;
        make_dir(g_root + "/daemon");
        static std::string startcnt = g_root + "/vexd_startcnt";
        vexd_set_startcnt_path(startcnt.c_str());
        static std::string daemon_dir = g_root + "/daemon";
        vexd_log_dir_path = daemon_dir.c_str();
        vexd_printf("archive test\n");
    }
    void TearDown() override
    {
        int status;
        run("rm -rf '" + g_root + "'", &status);
    }
};
const auto *env = ::testing::AddGlobalTestEnvironment(new Env);

class Archive : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = g_root + "/" + info->name();
        make_dir(dir);
        log = dir + "/log";
        make_dir(log);
        vexd_log_dir_path = log.c_str();
        log_mark = daemon_log().size();
    }
    // Daemon log lines written since the test began.
    std::string new_log() { return daemon_log().substr(log_mark); }

    std::string dir, log;
    size_t log_mark = 0;
    char response[256] = {};
};

TEST_F(Archive, WalkOrderSkipsAndContents)
{
    write_text(log + "/vexd_vexdlog.txt", "daemon log\n");
    write_text(log + "/vexd_vexdlog.gz", std::string("\x1f\x8b\x08\x00", 4));
    write_text(log + "/Zeta", "upper case sorts first\n");
    make_dir(log + "/lost+found");
    write_text(log + "/lost+found/#12", "fsck leftovers");
    make_dir(log + "/diag_logs");
    std::string big;
    for (int i = 0; big.size() < 300000; i++) big += "line " + std::to_string(i * 7919 % 1000) + "\n";
    write_text(log + "/diag_logs/dl_abc_3.qmdl", big);
    write_text(log + "/diag_logs/logs.zip", "not an archive");
    make_dir(log + "/diag_logs/empty");
    write_text(log + "/logs.zip", "stale archive from an earlier request");
    // A half archive that a kill left goes at the next start, and is never packed.
    write_text(log + "/logs.tmp.zip", "half an archive");
    vexd_archive_drop_leftover();
    EXPECT_NE(0, access((log + "/logs.tmp.zip").c_str(), F_OK));
    EXPECT_NE(std::string::npos, new_log().find("vexd_archive_all: removed " + log +
                                                "/logs.tmp.zip, an archive cut short by the last stop\n"));

    ASSERT_EQ(0, vexd_archive_all(response, nullptr));
    EXPECT_EQ(log + "/logs.zip", response);
    EXPECT_NE(0, access((log + "/logs.tmp.zip").c_str(), F_OK));

    const auto list = zip_entries(response);
    const std::string n = name_of(log);
    EXPECT_EQ(
        (std::vector<std::string>{n + "/", n + "/vexd_vexdlog.txt", n + "/vexd_vexdlog.gz", n + "/diag_logs/",
                                  n + "/diag_logs/empty/", n + "/diag_logs/dl_abc_3.qmdl", n + "/Zeta"}),
        names(list));
    for (const entry &e : list) {
        const bool is_dir = e.name.back() == '/';
        EXPECT_EQ(is_dir ? "" : "x", e.comment) << e.name;
        EXPECT_EQ(is_dir ? 0 : 8, e.method) << e.name;  // directories stored empty, files deflated
        EXPECT_TRUE(e.same) << e.name;
        if (is_dir) {
            EXPECT_EQ(0, e.size) << e.name;
        }
    }
    EXPECT_EQ((long)big.size(), list[5].size);

    const std::string lines = new_log();
    EXPECT_NE(std::string::npos, lines.find("archive_item: compressing " + log + "\n"));
    EXPECT_NE(std::string::npos,
              lines.find("archive_item: compressing " + log + "/diag_logs/dl_abc_3.qmdl\n"));
    EXPECT_EQ(std::string::npos, lines.find("failed"));
}

TEST_F(Archive, ExplicitPathAndOwnArchive)
{
    write_text(log + "/a.txt", "a");
    // Every ZIP file is left out, not only logs.zip: an archive that a client
    // put in the log directory would otherwise nest in every later one.
    write_text(log + "/other.zip", "skipped by name too");
    write_text(log + "/logs.zip", "skipped by name");
    make_dir(dir + "/out");

    const std::string outside = dir + "/out/mine.zip";
    ASSERT_EQ(0, vexd_archive_all(response, outside.c_str()));
    EXPECT_EQ(outside, response);
    const std::string n = name_of(log);
    EXPECT_EQ((std::vector<std::string>{n + "/", n + "/a.txt"}), names(zip_entries(outside)));
    EXPECT_EQ("skipped by name", read_text(log + "/logs.zip"));

    // Written inside the log directory under another name: never part of itself.
    const std::string inside = log + "/own.zip";
    write_text(inside, "earlier copy, replaced");
    ASSERT_EQ(0, vexd_archive_all(response, inside.c_str()));
    EXPECT_EQ((std::vector<std::string>{n + "/", n + "/a.txt"}), names(zip_entries(inside)));
}

TEST_F(Archive, RefusedPathsRemoveNothing)
{
    write_text(log + "/a.txt", "a");
    const std::string keep = log + "/a.txt";
    for (const std::string &path :
         {std::string("out.zip"), keep, std::string("relative/x.zip"), std::string(""), log + "/zip"}) {
        EXPECT_EQ(-1, vexd_archive_all(response, path.c_str())) << path;
        EXPECT_EQ(path, response);
    }
    EXPECT_EQ("a", read_text(keep));
    EXPECT_NE(std::string::npos, new_log().find("vexd_archive_all: refusing archive path out.zip\n"));

    // A path cut to 255 characters loses its ".zip" and is refused too.
    const std::string longp = "/" + std::string(300, 'p') + ".zip";
    EXPECT_EQ(-1, vexd_archive_all(response, longp.c_str()));
    EXPECT_EQ(longp.substr(0, 255), response);
}

TEST_F(Archive, UnreadableEntryFailsAtEveryLevel)
{
    make_dir(log + "/diag_logs");
    make_dir(log + "/diag_logs/deep");
    write_text(log + "/diag_logs/deep/ok.qmdl", "x");
    const std::string gone = log + "/diag_logs/deep/gone.qmdl";
    ASSERT_EQ(0, symlink((dir + "/removed").c_str(), gone.c_str()));  // status cannot be read

    EXPECT_EQ(-1, vexd_archive_all(response, nullptr));
    EXPECT_EQ(log + "/logs.zip", response);
    const std::string lines = new_log();
    const std::vector<std::string> expected = {
        "archive_item: mz_zip_writer_add_file failed for " + gone + "\n",
        "archive_item: archive_item failed for " + gone + "\n",
        "archive_item: archive_item failed for " + log + "/diag_logs/deep\n",
        "archive_item: archive_item failed for " + log + "/diag_logs\n",
        "vexd_archive_all: archive_item failed\n",
    };
    size_t pos = 0;
    for (const std::string &want : expected) {
        const size_t at = lines.find(want, pos);
        ASSERT_NE(std::string::npos, at) << "missing in order: " << want << lines;
        pos = at + want.size();
    }
    size_t count = 0;
    for (size_t p = lines.find("failed for"); p != std::string::npos; p = lines.find("failed for", p + 1))
        count++;
    EXPECT_EQ(4u, count);  // the add-file line and one line per level
    // No half archive stays behind for a client to take as the logs.
    EXPECT_NE(std::string::npos,
              lines.find("vexd_archive_all: " + log +
                             "/logs.zip not written whole, removed (archive write errno 0)\n",
                         pos));
    EXPECT_NE(0, access(response, F_OK));
}

// A tmpfs of `size` mounted at `path` for one test, unmounted at its end.
struct small_fs {
    std::string path;
    bool ok = false;
    small_fs(const std::string &at, const char *size) : path(at)
    {
        make_dir(path);
        ok = geteuid() == 0 && mount("tmpfs", path.c_str(), "tmpfs", 0, size) == 0;
    }
    ~small_fs()
    {
        if (ok) umount(path.c_str());
    }
    int64_t free_bytes() const
    {
        struct statfs sfs {};
        return statfs(path.c_str(), &sfs) == 0 ? static_cast<int64_t>(sfs.f_bfree) * sfs.f_bsize : -1;
    }
};

std::string random_bytes(size_t n)
{
    std::ifstream in("/dev/urandom", std::ios::binary);
    std::string out(n, '\0');
    in.read(&out[0], static_cast<std::streamsize>(n));
    return out;
}

// An archive that does not fit fails and leaves nothing: on another file
// system, where a write inside the ZIP writer meets ENOSPC; and on the log
// directory's own, where it stops before it would take the free space below
// the daemon's limit (the daemon would stop) even though it would fit.
TEST_F(Archive, ArchiveThatDoesNotFitLeavesNothing)
{
    small_fs other(dir + "/other", "size=256k");
    if (!other.ok) GTEST_SKIP() << "needs root to mount a small tmpfs";
    write_text(log + "/random.bin", random_bytes(1 << 20));
    const std::string out = other.path + "/out.zip";
    EXPECT_EQ(-1, vexd_archive_all(response, out.c_str()));
    EXPECT_NE(std::string::npos, new_log().find("vexd_archive_all: " + out +
                                                " not written whole, removed (archive write errno 28)\n"));
    EXPECT_NE(0, access(out.c_str(), F_OK));

    // 3.8 MiB of logs on an 8 MiB partition: a whole archive would leave
    // about 0.4 MiB free, under VEXD_MIN_FREE_BYTES.
    small_fs part(dir + "/part", "size=8m");
    ASSERT_TRUE(part.ok);
    vexd_log_dir_path = part.path.c_str();
    write_text(part.path + "/random.bin", random_bytes(3984588));
    const int64_t before = part.free_bytes();
    ASSERT_GT(before - 3984588, 65536);                // room for the whole archive...
    ASSERT_LT(before - 3984588, VEXD_MIN_FREE_BYTES);  // ...but not for the daemon after it
    EXPECT_EQ(-1, vexd_archive_all(response, nullptr));
    EXPECT_NE(std::string::npos,
              new_log().find("vexd_archive_all: " + part.path +
                             "/logs.zip not written whole, removed (archive write errno 28)\n"));
    EXPECT_NE(0, access(response, F_OK));
    EXPECT_EQ(before, part.free_bytes());
}

TEST_F(Archive, LinksSocketsFifosAndLongPaths)
{
    write_text(log + "/real.txt", "linked file contents");
    make_dir(log + "/sub");
    ASSERT_EQ(0, symlink(log.c_str(), (log + "/loop").c_str()));  // back to the top
    ASSERT_EQ(0, symlink("..", (log + "/sub/up").c_str()));       // relative loop
    ASSERT_EQ(0, symlink((log + "/real.txt").c_str(), (log + "/sub/file_link").c_str()));
    ASSERT_EQ(0, mkfifo((log + "/fifo").c_str(), 0666));  // would block a reader
    ASSERT_EQ(0, mkfifo((log + "/sub/fifo").c_str(), 0666));
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s/sock", log.c_str());
    ASSERT_EQ(0, bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr));

    // The log directory itself may be reached through a link.
    const std::string via = dir + "/via_link";
    ASSERT_EQ(0, symlink(log.c_str(), via.c_str()));
    vexd_log_dir_path = via.c_str();
    ASSERT_EQ(0, vexd_archive_all(response, nullptr));
    const std::string n = name_of(via);
    EXPECT_EQ((std::vector<std::string>{n + "/", n + "/sub/", n + "/sub/file_link", n + "/real.txt"}),
              names(zip_entries(response)));
    close(sock);

    // Deep enough that a path passes 255 characters: the run fails cleanly.
    std::string deep = log;
    while (deep.size() < 240) {
        deep += "/dddddddddddddddddddd";
        make_dir(deep);
    }
    write_text(deep + "/" + std::string(40, 'f'), "too deep");
    vexd_log_dir_path = log.c_str();
    EXPECT_EQ(-1, vexd_archive_all(response, nullptr));
    EXPECT_NE(std::string::npos, new_log().find("archive_item: path too long: "));
}

TEST_F(Archive, ConcurrentRequestsTakeTurns)
{
    std::string text;
    for (int i = 0; i < 20000; i++) text += "concurrent line " + std::to_string(i) + "\n";
    for (int i = 0; i < 4; i++) write_text(log + "/f" + std::to_string(i), text);
    int rc[2] = {1, 1};
    char resp[2][256];
    std::thread a([&] { rc[0] = vexd_archive_all(resp[0], nullptr); });
    std::thread b([&] { rc[1] = vexd_archive_all(resp[1], nullptr); });
    a.join();
    b.join();
    EXPECT_EQ(0, rc[0]);
    EXPECT_EQ(0, rc[1]);
    EXPECT_EQ(5u, zip_entries(log + "/logs.zip").size());
}

TEST(ZipWriter, Operations)
{
    const std::string zip_path = g_root + "/writer.zip";
    const std::string src = g_root + "/writer_src.txt";
    write_text(src, "payload");
    // A modification time past January 2038 must reach the entry unchanged.
    const int64_t mtime = INT64_C(2222222222);  // June 2040
    struct timespec times[2] = {};
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(mtime);
    ASSERT_EQ(0, utimensat(AT_FDCWD, src.c_str(), times, 0));

    mz_zip_archive zip;
    memset(&zip, 0, sizeof zip);
    EXPECT_EQ(0, mz_zip_writer_add_file(&zip, "x", src.c_str(), "x", 1, 9));  // not open yet
    EXPECT_EQ(0, mz_zip_writer_init_file(&zip, (g_root + "/no/such/dir.zip").c_str(), 0));
    // The archive file is made new: a link at its path (one raced in after
    // the old archive was removed) is not followed, and what it names stays.
    const std::string target = g_root + "/link_target.txt", linked = g_root + "/linked.zip";
    write_text(target, "not an archive");
    ASSERT_EQ(0, symlink(target.c_str(), linked.c_str()));
    EXPECT_EQ(0, mz_zip_writer_init_file(&zip, linked.c_str(), 0));
    EXPECT_EQ(EEXIST, zip.error);
    EXPECT_EQ("not an archive", read_text(target));
    ASSERT_EQ(1, mz_zip_writer_init_file(&zip, zip_path.c_str(), 0));
    EXPECT_EQ(1, mz_zip_writer_add_mem(&zip, "dir/", nullptr, 0, 9));
    EXPECT_EQ(0, mz_zip_writer_add_mem(&zip, "dir2/", "data", 4, 9));  // a directory holds no data
    EXPECT_EQ(1, mz_zip_writer_add_mem(&zip, "dir/mem.txt", "in memory", 9, 9));
    EXPECT_EQ(1, mz_zip_writer_add_file(&zip, name_of(src).c_str(), src.c_str(), "x", 1, 9));
    EXPECT_EQ(0, mz_zip_writer_add_file(&zip, "missing", (g_root + "/missing").c_str(), "x", 1, 9));
    EXPECT_EQ(0, mz_zip_writer_add_file(&zip, "dir", g_root.c_str(), "x", 1, 9));  // not a file
    EXPECT_EQ(1, mz_zip_writer_finalize_archive(&zip));
    EXPECT_EQ(0, mz_zip_writer_finalize_archive(&zip));
    EXPECT_EQ(1, mz_zip_writer_end(&zip));

    int status = 0;
    const std::string out = run("python3 -c \"import zipfile,sys; z=zipfile.ZipFile(sys.argv[1]); "
                                "print([(i.filename, i.comment, z.read(i)) for i in z.infolist()])\" " +
                                    zip_path,
                                &status);
    EXPECT_EQ(0, status);
    EXPECT_EQ("[('dir/', b'', b''), ('dir/mem.txt', b'', b'in memory'), ('" + name_of(src) +
                  "', b'x', b'payload')]\n",
              out);
    const std::string when =
        run("python3 -c \"import zipfile,sys,time; z=zipfile.ZipFile(sys.argv[1]); "
            "print(z.getinfo(sys.argv[2]).date_time == time.localtime(int(sys.argv[3]))[:6])\" " +
                zip_path + " " + name_of(src) + " " + std::to_string(mtime),
            &status);
    EXPECT_EQ("True\n", when) << "entry time of a file modified at " << mtime;
}

// An archive whose central directory cannot be written (here: it would go
// below the floor) is removed.
TEST(ZipWriter, HalfArchiveIsRemoved)
{
    mz_zip_archive zip;
    memset(&zip, 0, sizeof zip);
    const std::string half = g_root + "/half.zip";
    ASSERT_EQ(1, mz_zip_writer_init_file(&zip, half.c_str(), 0));
    EXPECT_EQ(1, mz_zip_writer_add_mem(&zip, "a.txt", "some text", 9, 9));
    zip.min_free = UINT64_MAX;
    EXPECT_EQ(0, mz_zip_writer_finalize_archive(&zip));
    EXPECT_EQ(ENOSPC, zip.error);
    EXPECT_NE(0, access(half.c_str(), F_OK));
    EXPECT_EQ(1, mz_zip_writer_end(&zip));
}

}  // namespace
