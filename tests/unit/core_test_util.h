// Helpers of the daemon core's unit tests.
//
// The daemon log and the startup marker are set up once per process, so tests
// that need them fresh run their body in a forked child. A child's gtest
// failures are printed there and turn into a non-zero exit status.
#pragma once

#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "fake_system.h"
#include "file_util.h"

struct TempDir {
    std::string path;
    TempDir()
    {
        const char *base = getenv("TMPDIR");
        std::string tmpl = std::string(base ? base : "/tmp") + "/vexd_core_XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) == nullptr) abort();
        path = buf.data();
    }
    ~TempDir()
    {
        nftw(
            path.c_str(), [](const char *p, const struct stat *, int, struct FTW *) { return ::remove(p); },
            16, FTW_DEPTH | FTW_PHYS);
    }
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

using test_files::read_file;
using test_files::write_file;

inline bool file_exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

// The members of a gzip file, each decompressed on its own (no zlib gz* calls,
// so the check does not share code paths with the routines under test).
inline std::vector<std::string> gz_members(const std::string &path)
{
    std::string data = read_file(path);
    std::vector<std::string> members;
    size_t off = 0;
    while (off < data.size()) {
        z_stream zs{};
        if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK) break;
        zs.next_in = reinterpret_cast<Bytef *>(&data[off]);
        zs.avail_in = static_cast<uInt>(data.size() - off);
        std::string out;
        char buf[16384];
        int rc;
        do {
            zs.next_out = reinterpret_cast<Bytef *>(buf);
            zs.avail_out = sizeof(buf);
            rc = inflate(&zs, Z_NO_FLUSH);
            out.append(buf, sizeof(buf) - zs.avail_out);
        } while (rc == Z_OK);
        size_t used = data.size() - off - zs.avail_in;
        inflateEnd(&zs);
        if (rc != Z_STREAM_END) {
            members.push_back("<corrupt member>");
            break;
        }
        members.push_back(out);
        off += used;
    }
    return members;
}

inline std::string gz_text(const std::string &path)
{
    std::string all;
    for (const auto &m : gz_members(path)) all += m;
    return all;
}

// Runs `body` in a forked child and returns its exit status (0: no failure).
// The kernel-log capture path is fixed first, so the child's posts land where
// the parent reads them.
inline int run_in_child(const std::function<void()> &body)
{
    fake_kmsg_path();
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        body();
        fflush(nullptr);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

#define EXPECT_IN_CHILD(...)                                                                                 \
    do {                                                                                                     \
        int child_status_ = run_in_child([&] __VA_ARGS__);                                                   \
        EXPECT_EQ(0, child_status_) << "the child process failed (see above)";                               \
    } while (0)
