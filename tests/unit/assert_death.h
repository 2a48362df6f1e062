// Death-test helper for the support library's pointer checks: the process must
// end with status 255 after exactly one daemon log line "(LINE):EXPRESSION",
// where LINE is the line of the check in the module's source.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "file_util.h"
#include "vexd.h"

namespace assert_death {

using test_files::read_file;

// One log folder per test program. Kept in the environment so that a death
// test child started afresh ("threadsafe" style) writes where its parent reads.
inline const std::string &log_dir()
{
    static const std::string dir = [] {
        if (const char *env = getenv("SUPP_TEST_LOG_DIR")) return std::string(env);
        const char *tmp = getenv("TMPDIR");
        std::string templ = std::string(tmp ? tmp : "/tmp") + "/supp_test.XXXXXX";
        if (mkdtemp(templ.data()) == nullptr) return std::string("/tmp");
        setenv("SUPP_TEST_LOG_DIR", templ.c_str(), 1);
        // Removed when the creating process ends; death test children, which
        // also run exit handlers, leave it to their parent.
        static const pid_t creator = getpid();
        static std::string created;
        created = templ;
        atexit([] {
            if (getpid() == creator) std::filesystem::remove_all(created);
        });
        return templ;
    }();
    vexd_log_dir_path = dir.c_str();
    return dir;
}

// Line number (1-based) of the first line containing `check` after the line
// containing `function`, in `source` relative to the top of the tree.
inline int source_line(const char *source, const char *function, const char *check)
{
    std::string path = __FILE__;
    for (int i = 0; i < 3; ++i) path = path.substr(0, path.rfind('/'));
    std::ifstream in(path + "/" + source);
    std::string line;
    bool in_function = false;
    for (int n = 1; std::getline(in, line); ++n) {
        if (!in_function) {
            in_function = line.find(function) != std::string::npos;
        } else if (line.find(check) != std::string::npos) {
            return n;
        }
    }
    return -1;
}

inline size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
    return n;
}

// Runs `fn` in a death test and checks its exit status and daemon log line.
inline void expect(const std::function<void()> &fn, const std::string &expression, const char *source,
                   const char *function, const char *check)
{
    const std::string log = log_dir() + "/vexd_vexdlog.txt";
    const size_t before = read_file(log).size();
    EXPECT_EXIT(fn(), testing::ExitedWithCode(255), "") << expression;
    const std::string after = read_file(log);
    const std::string added = after.size() >= before ? after.substr(before) : after;
    const int line = source_line(source, function, check);
    ASSERT_GT(line, 0) << "no check " << check << " in " << function << " of " << source;
    const std::string tail = "] vexd: (" + std::to_string(line) + "):" + expression;
    EXPECT_TRUE(added.size() >= tail.size() &&
                added.compare(added.size() - tail.size(), tail.size(), tail) == 0)
        << "log gained: [" << added << "], expected it to end with [" << tail << "]";
    EXPECT_EQ(count(added, "] vexd: "), 1u) << added;
}

}  // namespace assert_death
