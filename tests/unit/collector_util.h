// Helpers shared by the collector tests: a per-process log directory and
// readers for text and gzip files.
#pragma once

#include <sys/stat.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "file_util.h"
#include "vexd.h"

namespace collector_test {

// A fresh temporary directory, made the daemon's log directory (and home of
// the startup counter file) once per process, removed at exit.
inline const std::string &log_dir()
{
    static const std::string dir = [] {
        const char *tmp = getenv("TMPDIR");
        std::string tmpl = std::string(tmp ? tmp : "/tmp") + "/vexd_coll.XXXXXX";
        char *made = mkdtemp(tmpl.data());
        if (made == nullptr) abort();
        std::string d = made;
        vexd_log_dir_path = strdup(d.c_str());
        vexd_set_startcnt_path(strdup((d + "/vexd_startcnt").c_str()));
        atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(vexd_log_dir_path, ec);
        });
        return d;
    }();
    return dir;
}

inline std::string path(const std::string &name) { return log_dir() + "/" + name; }

inline bool exists(const std::string &p)
{
    struct stat st {};
    return stat(p.c_str(), &st) == 0;
}

inline long size_of(const std::string &p)
{
    struct stat st {};
    return stat(p.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

using test_files::read_file;
using test_files::write_file;

// Every member of a gzip file, decompressed; empty when the file is missing.
inline std::string gunzip(const std::string &p)
{
    std::string out;
    gzFile gz = gzopen(p.c_str(), "rb");
    if (gz == nullptr) return out;
    char buf[16384];
    int n;
    while ((n = gzread(gz, buf, sizeof(buf))) > 0) out.append(buf, static_cast<size_t>(n));
    gzclose(gz);
    return out;
}

// The whole daemon log: its archived text, then its current text.
inline std::string daemon_log()
{
    return gunzip(path("vexd_vexdlog.gz")) + read_file(path("vexd_vexdlog.txt"));
}

inline size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) n++;
    return n;
}

inline bool wait_until(const std::function<bool()> &done, int timeout_ms = 10000)
{
    for (int waited = 0; waited < timeout_ms; waited += 5) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

// Compares long texts without printing them whole: sizes and the first difference.
inline ::testing::AssertionResult same_text(const std::string &expected, const std::string &actual)
{
    if (expected == actual) return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) at++;
    return ::testing::AssertionFailure() << "expected " << expected.size() << " bytes, got " << actual.size()
                                         << "; first difference at offset " << at;
}

constexpr const char *MARKER_HEAD = "<<<< VEXD START >>>>\n<<<< STARTUP COUNT ";

}  // namespace collector_test
