// Command protocol: request parsing and dispatch, and a socket thread served
// through a real Unix socket. The diag and trace handlers are replaced by
// recorders so every argument that reaches them can be checked.
#include "diaglog.h"
#include "socket_cred.h"
#include "socket_proto.h"
#include "socket_srv.h"
#include "trclog_srv.h"
#include "vexd.h"

#include <grp.h>
#include <gtest/gtest.h>

#include <chrono>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <algorithm>
#include <fstream>
#include <sstream>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// ---- recording stand-ins for the handlers ----
namespace {
std::mutex g_calls_mutex;
std::vector<std::string> g_calls;  // "name:argument"
int g_result = 0;                  // what every handler returns

int record(const std::string &call)
{
    std::lock_guard<std::mutex> lock(g_calls_mutex);
    g_calls.push_back(call);
    return g_result;
}

std::vector<std::string> take_calls()
{
    std::lock_guard<std::mutex> lock(g_calls_mutex);
    return std::exchange(g_calls, {});
}

void set_result(int r)
{
    std::lock_guard<std::mutex> lock(g_calls_mutex);
    g_result = r;
}
}  // namespace

int diaglog_init(const diaglog_settings_t *) { return 0; }
int diaglog_on(const char *name) { return record(std::string("diag_on:") + name); }
int diaglog_off(void) { return record("diag_off:"); }
int diaglog_setmaskfile(const char *path) { return record(std::string("set_mask:") + path); }
int diaglog_rmlogfile(const char *filter) { return record(std::string("rm_logs:") + filter); }
int diaglog_switch_logging(int) { return 0; }
int diaglog_read_mask_file(const char *) { return 0; }
int32_t trclog_srv_init(void) { return 0; }
int trclog_srv_write(const void *data, int len)
{
    return record("trc_write:" + std::string(static_cast<const char *>(data), len) + ":" +
                  std::to_string(len));
}
int trclog_srv_enable(void) { return record("trc_enable:"); }
int trclog_srv_disable(void) { return record("trc_disable:"); }
int32_t trclog_move_file(const char *, const char *) { return 0; }

namespace {

using bytes = std::vector<uint8_t>;

bytes frame(int code, const std::string &payload, int len = -1)
{
    if (len < 0) len = static_cast<int>(payload.size());
    uint8_t head[SOCKET_SRV_HDR_LEN];
    socket_put_header(head, uint16_t(code), uint16_t(len));
    // Header put in front of the payload rather than the payload copied
    // behind the header: GCC 12 at -O3 takes the copy of an empty payload
    // for a write past the buffer (-Wstringop-overflow, -Warray-bounds).
    bytes f(payload.begin(), payload.end());
    f.insert(f.begin(), head, head + SOCKET_SRV_HDR_LEN);
    return f;
}

// Never destroyed: the socket thread started below outlives main() and keeps
// logging with these paths while the process exits.
std::string &g_dir = *new std::string;

// A plain file where a socket should be, as an earlier run may leave behind.
void write_text_stale(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "w");
    if (f != nullptr) {
        fputs("stale", f);
        fclose(f);
    }
}

class Env : public ::testing::Environment {
public:
    void SetUp() override
    {
        char tmpl[] = "/tmp/vexd_socket_test.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        g_dir = tmpl;
        static std::string startcnt = g_dir + "/vexd_startcnt";
        vexd_set_startcnt_path(startcnt.c_str());
        vexd_log_dir_path = g_dir.c_str();
    }
    void TearDown() override
    {
        const std::string cmd = "rm -rf '" + g_dir + "'";
        EXPECT_EQ(0, system(cmd.c_str()));
    }
};
const auto *env = ::testing::AddGlobalTestEnvironment(new Env);

// Runs parse_resp on buffers that, like the socket threads', are reused and
// hold leftovers of earlier requests.
class ParseResp : public ::testing::Test {
protected:
    void SetUp() override
    {
        set_result(0);
        take_calls();
        memset(req, 'Q', sizeof req);
        memset(resp, 'R', sizeof resp);
    }
    bytes run(const bytes &request)
    {
        memcpy(req, request.data(), std::min(request.size(), sizeof req));
        parse_resp(req, resp);
        return bytes(resp, resp + 4 + get_u16(resp + 2));
    }
    uint8_t req[SOCKET_SRV_BUF_LEN];
    uint8_t resp[SOCKET_SRV_BUF_LEN];
};

const bytes OK = {0, 0, 0, 0};
const bytes FAILED = {0xFF, 0xFF, 0, 0};
const bytes UNKNOWN = {0xFE, 0xFF, 0, 0};

TEST_F(ParseResp, PingAndUnknownCodes)
{
    EXPECT_EQ(OK, run(frame(CMD_PING, "")));
    EXPECT_EQ(OK, run(frame(CMD_PING, "ignored")));
    for (int code : {9, 0x7FFF, 0x8000, 0xFFFF}) {
        EXPECT_EQ(UNKNOWN, run(frame(code, ""))) << code;
        EXPECT_EQ(UNKNOWN, run(frame(code, "abc"))) << code;
    }
    EXPECT_TRUE(take_calls().empty());
}

TEST_F(ParseResp, TextArgumentsEndAtReceivedLength)
{
    EXPECT_EQ(OK, run(frame(CMD_DIAG_ON, std::string("abc\0", 4))));
    EXPECT_EQ(OK, run(frame(CMD_DIAG_ON, "ab")));  // no NUL: leftovers after it are not read
    EXPECT_EQ(OK, run(frame(CMD_DIAG_SET_MASK, "/system/etc/diagmask.cfg")));
    EXPECT_EQ(OK, run(frame(CMD_DIAG_RM_LOGS, "")));  // the empty filter
    EXPECT_EQ(OK, run(frame(CMD_DIAG_RM_LOGS, std::string("abc\0def", 7))));
    EXPECT_EQ(OK, run(frame(CMD_DIAG_SET_MASK, "")));
    EXPECT_EQ((std::vector<std::string>{"diag_on:abc", "diag_on:ab", "set_mask:/system/etc/diagmask.cfg",
                                        "rm_logs:", "rm_logs:abc", "set_mask:"}),
              take_calls());

    // A full payload leaves no room after it: it must carry its own NUL.
    std::string full(SOCKET_SRV_MAX_PAYLOAD, 'n');
    EXPECT_EQ(FAILED, run(frame(CMD_DIAG_ON, full)));
    EXPECT_TRUE(take_calls().empty());
    full[3] = '\0';
    EXPECT_EQ(OK, run(frame(CMD_DIAG_ON, full)));
    EXPECT_EQ(std::vector<std::string>{"diag_on:nnn"}, take_calls());
}

TEST_F(ParseResp, BytesAndIgnoredPayloads)
{
    EXPECT_EQ(OK, run(frame(CMD_TRC_WRITE, "abc")));
    EXPECT_EQ(OK, run(frame(CMD_TRC_WRITE, std::string("a\0b\n", 4))));
    EXPECT_EQ(OK, run(frame(CMD_TRC_WRITE, "")));
    EXPECT_EQ(OK, run(frame(CMD_TRC_WRITE, std::string(SOCKET_SRV_MAX_PAYLOAD, 't'))));
    EXPECT_EQ(OK, run(frame(CMD_DIAG_OFF, "junk")));
    EXPECT_EQ(OK, run(frame(CMD_TRC_ENABLE, "junk")));
    EXPECT_EQ(OK, run(frame(CMD_TRC_DISABLE, "junk")));
    EXPECT_EQ(
        (std::vector<std::string>{"trc_write:abc:3", std::string("trc_write:a\0b\n:4", 16), "trc_write::0",
                                  "trc_write:" + std::string(SOCKET_SRV_MAX_PAYLOAD, 't') + ":4096",
                                  "diag_off:", "trc_enable:", "trc_disable:"}),
        take_calls());
}

TEST_F(ParseResp, StatusIsLow16BitsOfResult)
{
    set_result(-1);
    EXPECT_EQ(FAILED, run(frame(CMD_DIAG_ON, std::string("abc\0", 4))));
    set_result(0x12345);
    EXPECT_EQ((bytes{0x45, 0x23, 0, 0}), run(frame(CMD_DIAG_OFF, "")));
    set_result(-2);
    EXPECT_EQ(UNKNOWN, run(frame(CMD_TRC_ENABLE, "")));
}

TEST_F(ParseResp, OverlongRequestIsRefused)
{
    for (int code : {0, 2, 6, 9}) {
        EXPECT_EQ(FAILED, run(frame(code, "", SOCKET_SRV_MAX_PAYLOAD + 1))) << code;
        EXPECT_EQ(FAILED, run(frame(code, "", 0xFFFF))) << code;
    }
    EXPECT_TRUE(take_calls().empty());
}

TEST_F(ParseResp, ArchiveAnswersWithPath)
{
    const std::string def = g_dir + "/logs.zip";
    bytes r = run(frame(CMD_ARCHIVE, ""));
    ASSERT_EQ(4 + def.size() + 1, r.size());
    EXPECT_EQ((bytes{0, 0, uint8_t(def.size() + 1), 0}), bytes(r.begin(), r.begin() + 4));
    EXPECT_EQ(def, std::string(r.begin() + 4, r.end() - 1));
    EXPECT_EQ(0, r.back());
    struct stat st {};
    EXPECT_EQ(0, stat(def.c_str(), &st));

    const std::string mine = g_dir + "/mine.zip";  // sent without its NUL
    r = run(frame(CMD_ARCHIVE, mine));
    EXPECT_EQ(0, r[0] | r[1]);
    EXPECT_EQ(mine, std::string(r.begin() + 4, r.end() - 1));
    EXPECT_EQ(0, stat(mine.c_str(), &st));

    r = run(frame(CMD_ARCHIVE, std::string("rel.zip\0", 8)));
    EXPECT_EQ((bytes{0xFF, 0xFF, 8, 0}), bytes(r.begin(), r.begin() + 4));
    EXPECT_EQ(std::string("rel.zip\0", 8), std::string(r.begin() + 4, r.end()));
}

// ---- a socket thread on a temporary path ----

int connect_to(const std::string &path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    for (int i = 0; i < 200; i++) {
        if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
            struct timeval tv = {5, 0};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            return fd;
        }
        usleep(10000);
    }
    close(fd);
    return -1;
}

void send_bytes(int fd, const bytes &b)
{
    ASSERT_EQ(static_cast<ssize_t>(b.size()), send(fd, b.data(), b.size(), MSG_NOSIGNAL));
}

// Reads n bytes, or what came before the timeout or end of stream.
bytes recv_bytes(int fd, size_t n)
{
    bytes out(n);
    size_t got = 0;
    while (got < n) {
        const ssize_t r = recv(fd, out.data() + got, n - got, 0);
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    out.resize(got);
    return out;
}

// Nothing arrives within `ms`.
bool quiet(int fd, int ms)
{
    struct timeval tv = {0, ms * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    uint8_t b;
    const bool none = recv(fd, &b, 1, MSG_PEEK) < 0 && errno == EAGAIN;
    tv = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return none;
}

const std::string &served_path()
{
    static const std::string path = [] {
        static std::string &p = *new std::string(g_dir + "/ctrl_socket");
        write_text_stale(p);
        pthread_t t;
        pthread_create(&t, nullptr, socket_srv_thread, const_cast<char *>(p.c_str()));
        pthread_detach(t);
        return p;
    }();
    return path;
}

TEST(SocketThread, SplitBackToBackAndOverlongFrames)
{
    take_calls();
    set_result(0);
    const int fd = connect_to(served_path());
    ASSERT_GE(fd, 0);

    // Header and payload in pieces, one byte at a time at the end.
    const bytes on = frame(CMD_DIAG_ON, std::string("abc\0", 4));
    send_bytes(fd, bytes(on.begin(), on.begin() + 2));
    send_bytes(fd, bytes(on.begin() + 2, on.begin() + 5));
    for (size_t i = 5; i < on.size(); i++) send_bytes(fd, bytes{on[i]});
    EXPECT_EQ(OK, recv_bytes(fd, 4));

    // Back to back, with payloads on commands that ignore them and an
    // unknown code in the middle.
    bytes burst;
    for (const bytes &f : {frame(CMD_TRC_ENABLE, "xyz"), frame(0xFFFF, "p"), frame(CMD_TRC_WRITE, "abc"),
                           frame(9, ""), frame(CMD_PING, "")})
        burst.insert(burst.end(), f.begin(), f.end());
    send_bytes(fd, burst);
    const bytes want = {0, 0, 0, 0, 0xFE, 0xFF, 0, 0, 0, 0, 0, 0, 0xFE, 0xFF, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(want, recv_bytes(fd, want.size()));

    // Too long for the buffer: read and dropped, answered -1, still in step.
    bytes longreq = frame(CMD_TRC_WRITE, std::string(10000, 'L'));
    const bytes ping = frame(CMD_PING, "");
    longreq.insert(longreq.end(), ping.begin(), ping.end());
    send_bytes(fd, longreq);
    EXPECT_EQ((bytes{0xFF, 0xFF, 0, 0, 0, 0, 0, 0}), recv_bytes(fd, 8));
    EXPECT_TRUE(quiet(fd, 100));
    close(fd);

    EXPECT_EQ((std::vector<std::string>{"diag_on:abc", "trc_enable:", "trc_write:abc:3"}), take_calls());
}

TEST(SocketThread, ClientGoneBeforeAnswer)
{
    // A client that leaves before its response must not take the daemon down.
    for (int i = 0; i < 3; i++) {
        const int fd = connect_to(served_path());
        ASSERT_GE(fd, 0);
        send_bytes(fd, frame(CMD_PING, ""));
        close(fd);
    }
    const int fd = connect_to(served_path());
    ASSERT_GE(fd, 0);
    send_bytes(fd, frame(CMD_PING, ""));
    EXPECT_EQ(OK, recv_bytes(fd, 4));
    close(fd);
}

TEST(SocketThread, ClientStalledInsideAFrameIsDropped)
{
    // Idle between frames is fine; half a frame must not hold the socket.
    for (const bytes &part : {bytes{0x00}, bytes{0x06, 0x00, 0x08, 0x00, 'a', 'b'}}) {
        const int stalled = connect_to(served_path());
        ASSERT_GE(stalled, 0);
        send_bytes(stalled, frame(CMD_PING, ""));
        EXPECT_EQ(OK, recv_bytes(stalled, 4));
        send_bytes(stalled, part);
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_TRUE(recv_bytes(stalled, 1).empty()) << "closed, not answered";
        const auto took = std::chrono::steady_clock::now() - t0;
        EXPECT_GE(took, std::chrono::milliseconds(4500));
        EXPECT_LT(took, std::chrono::milliseconds(8000));
        close(stalled);

        const int next = connect_to(served_path());
        ASSERT_GE(next, 0);
        send_bytes(next, frame(CMD_PING, ""));
        EXPECT_EQ(OK, recv_bytes(next, 4));
        close(next);
    }
    take_calls();
}

TEST(SocketListen, StaleFileAndBadPaths)
{
    const std::string path = g_dir + "/stale_socket";
    write_text_stale(path);
    const int fd = socket_srv_listen(path.c_str());
    ASSERT_GE(fd, 0);
    struct stat st {};
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    close(fd);

    EXPECT_EQ(-1, socket_srv_listen(("/" + std::string(200, 's')).c_str()));
    EXPECT_EQ(-1, socket_srv_listen((g_dir + "/no/such/dir/socket").c_str()));
}

TEST(SocketCred, AllowedIds)
{
    // root, system, log and shell by uid; anyone whose group is system or log.
    for (uint32_t uid : {0u, 1000u, 1007u, 2000u}) EXPECT_TRUE(socket_cred_allowed(uid, 10050)) << uid;
    for (uint32_t gid : {1000u, 1007u}) EXPECT_TRUE(socket_cred_allowed(10050, gid)) << gid;
    for (uint32_t uid : {1u, 999u, 1001u, 1006u, 1008u, 1999u, 2001u, 10000u, 10050u, 65534u, 0xFFFFFFFFu})
        EXPECT_FALSE(socket_cred_allowed(uid, uid)) << uid;
    // Groups that merely sound privileged (root, shell) do not count.
    EXPECT_FALSE(socket_cred_allowed(10050, 0));
    EXPECT_FALSE(socket_cred_allowed(10050, 2000));

    // Supplementary groups, as /proc/<pid>/status lists them, count too; but
    // only for the uid the socket recorded.
    const std::string head = "Name:\tclient\nUid:\t10050\t10050\t10050\t10050\nGid:\t10050\t10050\t10050\t10050\n";
    EXPECT_TRUE(socket_cred_status_allows((head + "Groups:\t3003 1007 \nVmPeak:\t1 kB\n").c_str(), 10050));
    EXPECT_TRUE(socket_cred_status_allows((head + "Groups:\t1000\n").c_str(), 10050));
    EXPECT_FALSE(socket_cred_status_allows((head + "Groups:\t1007\n").c_str(), 10051));
    EXPECT_FALSE(socket_cred_status_allows((head + "Groups:\t3003 2000 0\nNgid:\t1007\n").c_str(), 10050));
    EXPECT_FALSE(socket_cred_status_allows((head + "Groups:\t\n").c_str(), 10050));
    // The socket records the effective uid: a client whose real uid differs
    // (shell, running as an app's uid) is judged by the effective one.
    const std::string setuid_head = "Name:\tclient\nUid:\t2000\t10001\t10001\t10001\n";
    EXPECT_TRUE(socket_cred_status_allows((setuid_head + "Groups:\t1007\n").c_str(), 10001));
    EXPECT_FALSE(socket_cred_status_allows((setuid_head + "Groups:\t1007\n").c_str(), 2000));
    EXPECT_FALSE(socket_cred_status_allows("Uid:\t10001\nGroups:\t1007\n", 10001));
}

TEST(SocketCred, AppClientRefusedByItsConnectCredentials)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to connect as another uid";
    const std::string dir = g_dir + "/cred";
    ASSERT_EQ(0, mkdir(dir.c_str(), 0777));
    ASSERT_EQ(0, chmod(g_dir.c_str(), 0755));
    ASSERT_EQ(0, chmod(dir.c_str(), 0777));
    const std::string path = dir + "/sock";
    const int lfd = socket_srv_listen(path.c_str());
    ASSERT_GE(lfd, 0);
    ASSERT_EQ(0, chmod(path.c_str(), 0777));

    // The child connects as an app, then goes back to nothing: only the
    // credentials at connect time decide.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setresgid(10050, 10050, 10050) != 0 || setresuid(10050, 10050, 10050) != 0) _exit(2);
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        struct sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) _exit(3);
        _exit(0);
    }
    int status = -1;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_EQ(0, status);
    const int conn = accept(lfd, nullptr, nullptr);
    ASSERT_GE(conn, 0);
    EXPECT_EQ(-1, socket_cred_check(conn));
    close(conn);

    // An app whose supplementary groups hold log is served while it is there.
    int hold[2];
    ASSERT_EQ(0, pipe(hold));
    const pid_t member = fork();
    ASSERT_GE(member, 0);
    if (member == 0) {
        const gid_t groups[] = {3003, 1007};
        close(hold[1]);
        if (setgroups(2, groups) != 0 || setresgid(10050, 10050, 10050) != 0 ||
            setresuid(10050, 10050, 10050) != 0)
            _exit(2);
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        struct sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) _exit(3);
        char c;
        (void)!read(hold[0], &c, 1);  // until the parent has judged it
        _exit(0);
    }
    close(hold[0]);
    const int conn_member = accept(lfd, nullptr, nullptr);
    ASSERT_GE(conn_member, 0);
    EXPECT_EQ(0, socket_cred_check(conn_member));
    close(conn_member);
    close(hold[1]);
    ASSERT_EQ(member, waitpid(member, &status, 0));
    EXPECT_EQ(0, status);

    // Root is served.
    const int mine = connect_to(path);
    ASSERT_GE(mine, 0);
    const int conn2 = accept(lfd, nullptr, nullptr);
    ASSERT_GE(conn2, 0);
    EXPECT_EQ(0, socket_cred_check(conn2));
    close(conn2);
    close(mine);
    close(lfd);

    std::ifstream in(g_dir + "/vexd_vexdlog.txt");
    std::stringstream log;
    log << in.rdbuf();
    const std::string want = "client uid 10050 pid " + std::to_string(child) + " not allowed";
    EXPECT_NE(std::string::npos, log.str().find(want)) << log.str();
}

}  // namespace
