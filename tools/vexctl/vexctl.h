// vexctl: sends one command to vexd over a control socket and reports the
// status. Exit status 0 when the daemon answered 0, 1 when it answered
// anything else, 2 for a usage error, 3 when the daemon cannot be reached,
// 4 when it did not answer in time.
//
// What the units share: the exit statuses and timeouts, the table of
// commands, the deadline of an exchange and the failure reports (report.cpp).
#pragma once

#include "monotonic.h"
#include "socket_proto.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace vexctl {

constexpr int EXIT_STATUS = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_NO_DAEMON = 3;
constexpr int EXIT_TIMEOUT = 4;

// Waits for the connection and for each answer; commands that may take
// seconds on a healthy daemon (packing the log directory, waiting for the
// diag reader to end) get the long one.
constexpr double DEFAULT_TIMEOUT_S = 10;
constexpr double LONG_TIMEOUT_S = 120;
constexpr double STATUS_TIMEOUT_S = 3;

constexpr int16_t CMD_NONE = -1;  // local commands: no frame of their own

struct command {
    std::string_view name;
    int16_t code;
    enum { NONE, TEXT, OPT_TEXT, STREAM } arg;
    std::string_view args;
    std::string_view help;
    bool slow;
    // Likely reasons for a status of -1, in words.
    std::string_view why;
};

// One of the daemon's commands: its name and the kind of its argument come
// from the protocol's table; an argument shown in brackets may be left out.
constexpr command daemon_cmd(int16_t code, std::string_view args, std::string_view help, bool slow,
                             std::string_view why)
{
    const socket_cmd_info *c = socket_cmd_find(code);
    const auto arg = c->arg == socket_arg::none    ? command::NONE
                     : c->arg == socket_arg::bytes ? command::STREAM
                     : args.starts_with('[')       ? command::OPT_TEXT
                                                   : command::TEXT;
    return {c->name, code, arg, args, help, slow, why};
}

inline constexpr command commands[] = {
    daemon_cmd(CMD_PING, "", "check that the daemon answers", false, ""),
    {"status", CMD_NONE, command::NONE, "", "ping both sockets; say which answer and how fast", false, ""},
    daemon_cmd(CMD_ARCHIVE, "[PATH]", "pack the log directory into a ZIP file (PATH absolute, *.zip)", true,
               "the ZIP file could not be written: PATH must be absolute and its folder must exist and be\n"
               "writable on the daemon's side; the log directory's file system may be full, or a file\n"
               "vanished while it was being packed"),
    daemon_cmd(CMD_DIAG_ON, "NAME", "start modem logging into dl_NAME_<count>.qmdl", false,
               "modem logging is already on (diag-off first), NAME holds a '/' or is too long (its\n"
               "qmdl and .qmdl.gz paths must fit 255 characters),\n"
               "/dev/diag cannot be opened, the device refused the switch to memory-device mode,\n"
               "or the mask file (set-mask) cannot be read"),
    daemon_cmd(CMD_DIAG_OFF, "", "stop modem logging", true,
               "/dev/diag cannot be opened, or the device refused to stop logging"),
    daemon_cmd(CMD_DIAG_SET_MASK, "PATH", "choose the diag mask file", false,
               "the daemon cannot open PATH (it is still kept for the next diag-on). PATH is opened\n"
               "by the daemon in its own file system, not the caller's: on the handset, e.g.\n"
               "/system/etc/diagmask.cfg; PATH is not a regular file of at most 1 MiB; or PATH is too long"),
    daemon_cmd(CMD_DIAG_RM_LOGS, "[FILTER]", "delete qmdl files (all without FILTER)", false,
               "the diag directory (diag_logs in the log directory) cannot be opened, for instance\n"
               "before the first recording, or a qmdl file could not be removed"),
    daemon_cmd(CMD_TRC_ENABLE, "", "enable the trace log", false, ""),
    daemon_cmd(CMD_TRC_WRITE, "[FILE]", "send FILE (or stdin) to the trace log", false,
               "the trace log is not enabled (trace-enable first), or its text file could not be\n"
               "reopened after a rotation"),
    daemon_cmd(CMD_TRC_DISABLE, "", "disable the trace log", false, ""),
};

// Every command of the daemon is offered, once.
constexpr bool commands_cover_daemon()
{
    for (const socket_cmd_info &d : socket_cmds) {
        int n = 0;
        for (const command &c : commands) n += c.code == d.code;
        if (n != 1) return false;
    }
    return true;
}
static_assert(commands_cover_daemon());

void usage(FILE *out);

// A point in time by which an exchange must be done; 0 s waits for ever.
struct deadline {
    int64_t at_ms = -1;
    double seconds = 0;

    explicit deadline(double s) : seconds(s)
    {
        if (s > 0) at_ms = monotonic_ms() + static_cast<int64_t>(s * 1000 + 0.5);
    }
    // Milliseconds left for poll(): -1 for ever, 0 when passed.
    int left() const
    {
        if (at_ms < 0) return -1;
        const int64_t l = at_ms - monotonic_ms();
        return l <= 0 ? 0 : l > INT32_MAX ? INT32_MAX : static_cast<int>(l);
    }
};

enum io_result { IO_OK, IO_LOST, IO_TIMEOUT };

// ---------------------------------------------------------------- reports

// Notes the daemon's log as the caller sees it, and its size when the
// command is sent: a failure shows the lines written since.
void mark_daemon_log(const char *socket_path);

// The exit status for the daemon's answer `status` to `c`, with the likely
// reasons on stderr when it is not 0.
int report(const command &c, int16_t status, const char *socket_path, const char *arg,
           const char *outcome = nullptr);

// Where a file that the daemon wrote is, for a caller outside its file system.
void locate_for_caller(const char *socket_path, const std::string &path);

int unreachable(const char *socket_path);
int timed_out(const char *socket_path, std::string_view what, const deadline &d);
int failed(io_result r, const char *socket_path, std::string_view what, const deadline &d);

}  // namespace vexctl
