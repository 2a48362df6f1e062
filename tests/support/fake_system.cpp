#include "fake_system.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

namespace {
std::mutex g_mutex;
std::vector<std::string> g_commands;
}  // namespace

const std::string &fake_kmsg_path()
{
    static const std::string path = [] {
        const char *dir = getenv("TMPDIR");
        return std::string(dir ? dir : "/tmp") + "/vexd_test_kmsg." + std::to_string(getpid());
    }();
    return path;
}

std::string fake_kmsg_read()
{
    std::ifstream in(fake_kmsg_path());
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void fake_kmsg_clear() { unlink(fake_kmsg_path().c_str()); }

std::vector<std::string> fake_system_commands()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_commands;
}

void fake_system_clear()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_commands.clear();
}

extern "C" int system(const char *command)
{
    if (command == nullptr) return 1;
    std::string cmd(command);
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_commands.push_back(cmd);
    }
    // "> /dev/kmsg" appends to the capture file, so every post is kept in order
    // as the kernel log would keep it.
    static const std::string kmsg = "/dev/kmsg";
    const std::string capture = fake_kmsg_path();
    for (size_t pos = cmd.find(kmsg); pos != std::string::npos; pos = cmd.find(kmsg, pos)) {
        size_t start = pos;
        while (start > 0 && cmd[start - 1] == ' ') start--;
        std::string repl = capture;
        if (start > 0 && cmd[start - 1] == '>' && (start < 2 || cmd[start - 2] != '>')) {
            cmd.replace(start - 1, pos + kmsg.size() - (start - 1), ">> " + capture);
            pos = start - 1 + 3 + capture.size();
        } else {
            cmd.replace(pos, kmsg.size(), capture);
            pos += capture.size();
        }
    }
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}
