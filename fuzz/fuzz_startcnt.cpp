// The startup counter file: the input is what an earlier run (or a damaged
// disk) left in it. Reading it gives a count of at least 2 (the file is
// there); writing that count back leaves exactly 4 bytes holding it.
#include "fuzz_dir.h"
#include "startcnt.h"
#include "vexd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string g_path;

void setup()
{
    g_path = fuzz_dir("startcnt") + "/vexd_startcnt";
    vexd_set_startcnt_path(g_path.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool once = (setup(), true);
    (void)once;
    if (size > 64) return 0;
    const int fd = open(g_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || (size != 0 && write(fd, data, size) != static_cast<ssize_t>(size))) abort();
    close(fd);

    const int32_t count = startcnt_read();
    if (count < 1) abort();
    int32_t stored = 0;
    if (size >= 4) memcpy(&stored, data, 4);
    // A count that can go on does (from the first 4 bytes). A file that is
    // there but damaged never makes a first start: the count goes on past
    // the recordings' highest, and with no recordings (the log directory of
    // the stand-ins does not exist) from 2.
    const bool sound = size >= 4 && stored >= 1 && stored < INT32_MAX;
    if (sound && count != stored + 1) abort();
    if (!sound && count != 2) abort();

    startcnt_write(count);
    struct stat st {};
    if (stat(g_path.c_str(), &st) != 0 || st.st_size != 4) abort();
    int32_t back = 0;
    const int rfd = open(g_path.c_str(), O_RDONLY);
    if (rfd < 0 || read(rfd, &back, 4) != 4 || back != count) abort();
    close(rfd);
    return 0;
}
