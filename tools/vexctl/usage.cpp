// vexctl --help: the command line, the exit statuses and the commands.
#include "vexctl.h"

#include <cstdio>

namespace vexctl {

void usage(FILE *out)
{
    fprintf(out,
            "usage: vexctl [-s|--socket trace|control|PATH] [--timeout SECONDS] COMMAND [ARG]\n"
            "       vexctl -h|--help | help | --version\n"
            "\n"
            "Sends COMMAND to vexd over a control socket: control (%s,\n"
            "the default), trace (%s) or PATH. Each socket serves one\n"
            "client at a time; the other one can be used meanwhile.\n"
            "\n"
            "--timeout SECONDS  how long to wait for the connection and for each answer\n"
            "                   (default %g s; %g s for archive and diag-off; 0 waits for ever)\n"
            "\n"
            "Exit status: 0 the daemon answered 0; 1 it answered another status (the\n"
            "likely reasons are printed; the daemon's own log is vexd_vexdlog.txt in\n"
            "/qordebug, or in /system when it has no log partition); 2 usage error;\n"
            "3 daemon not reachable; 4 no answer within the timeout.\n"
            "status: 0 both sockets answer; 4 one is busy (another client holds it, or\n"
            "the daemon is stuck); 3 one or both cannot be reached (3 wins over 4).\n"
            "archive prints the archive's path only when it was written.\n"
            "\n"
            "commands:\n",
            VEXD_CTRL_SOCKET, VEXD_TRC_SOCKET, DEFAULT_TIMEOUT_S, LONG_TIMEOUT_S);
    for (const command &c : commands) {
        fprintf(out, "  %-14.*s %-9.*s %.*s\n", (int)c.name.size(), c.name.data(), (int)c.args.size(),
                c.args.data(), (int)c.help.size(), c.help.data());
    }
    fprintf(out, "\n"
                 "Paths (archive, set-mask) are the daemon's own: from outside its file system,\n"
                 "name them as the daemon sees them. A socket PATH outside /system is taken to be\n"
                 "in the folder where the daemon's /system is seen from here: with\n"
                 "-s DIR/vexd_ctrl_socket, a file the daemon writes as /system/X is DIR/X\n"
                 "(vexctl -s DIR/vexd_ctrl_socket archive /system/logs.zip: DIR/logs.zip).\n");
}

}  // namespace vexctl
