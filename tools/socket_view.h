// How vexctl sees the daemon's paths from where it runs.
//
// The daemon's control sockets are in its /system. A socket named by a path
// in another folder DIR is taken to be the daemon's, seen from outside its
// file system, with DIR being where the caller sees the daemon's /system: a
// path /system/X of the daemon's is DIR/X for the caller. /qordebug is the
// daemon's log partition, mounted in its own file system only and so out of
// the caller's reach, unless it has none: then DIR/qordebug is a link to
// DIR, and /qordebug/X is DIR/X too. A socket in /system means that the
// caller shares the daemon's file system: every path is then its own, and
// these functions change nothing.
//
// Header only: vexctl includes it.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

// The folder that the daemon sees as /system, as the caller sees it: the
// folder of the control socket.
inline std::string socket_view_system_dir(const char *socket_path)
{
    std::string_view p(socket_path);
    const size_t slash = p.rfind('/');
    if (slash == std::string_view::npos) return ".";
    return std::string(p.substr(0, slash == 0 ? 1 : slash));
}

// True when the caller shares the daemon's file system.
inline bool socket_view_inside(const char *socket_path)
{
    return socket_view_system_dir(socket_path) == "/system";
}

// Where the caller may find the daemon's own log, most likely first: the log
// partition, then /system (without a log partition).
inline std::vector<std::string> socket_view_daemon_log(const char *socket_path)
{
    const std::string sys = socket_view_system_dir(socket_path);
    const std::string logdir = socket_view_inside(socket_path) ? "/qordebug" : sys + "/qordebug";
    return {logdir + "/vexd_vexdlog.txt", sys + "/vexd_vexdlog.txt"};
}

// The caller's path of a file the daemon wrote at `path`: true and `host`
// set when the caller can open it; false when it is inside the daemon's
// file system only. Inside, the path itself.
inline bool socket_view_locate(const char *socket_path, const std::string &path, std::string *host)
{
    if (socket_view_inside(socket_path)) {
        *host = path;
        return true;
    }
    if (path.empty() || path[0] != '/') return false;
    const std::string sys = socket_view_system_dir(socket_path);
    std::string rest;
    if (path.rfind("/system/", 0) == 0) {
        rest = path.substr(8);
    } else if (path.rfind("/qordebug/", 0) == 0) {
        // Without a log partition /system/qordebug is a link to /system.
        struct stat sb {};
        if (lstat((sys + "/qordebug").c_str(), &sb) == 0 && S_ISLNK(sb.st_mode)) rest = path.substr(10);
    }
    if (rest.empty()) return false;
    *host = sys + "/" + rest;
    return true;
}

// The daemon's path of a caller's path into the daemon's /system (a file the
// caller named by its own path), or empty when it is not one.
inline std::string socket_view_daemon_path(const char *socket_path, const char *arg)
{
    if (arg == nullptr || socket_view_inside(socket_path)) return {};
    const std::string prefix = socket_view_system_dir(socket_path) + "/";
    if (std::string_view(arg).substr(0, prefix.size()) != prefix) return {};
    return "/system/" + std::string(arg + prefix.size());
}
