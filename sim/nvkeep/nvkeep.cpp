// libnvkeep: numbered persistent configuration units, one file per unit.
//
// Test hooks: a file "fail_size" or "fail_write" in the store folder holding
// a non-zero decimal number makes the size query or the write return that
// number without touching the unit.
#include "nvkeep.h"

#include "full_io.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *NVKEEP_DEFAULT_DIR = "/nvkeep";
constexpr size_t NVKEEP_PATH_MAX = 256;

const char *nvkeep_dir(void)
{
    const char *dir = getenv("NVKEEP_DIR");
    return (dir != nullptr && dir[0] != '\0') ? dir : NVKEEP_DEFAULT_DIR;
}

// "%s/%s" into buf; false when it does not fit.
bool nvkeep_path(char *buf, const char *name)
{
    int n = snprintf(buf, NVKEEP_PATH_MAX, "%s/%s", nvkeep_dir(), name);
    return n > 0 && static_cast<size_t>(n) < NVKEEP_PATH_MAX;
}

bool nvkeep_unit_path(char *buf, uint32_t unit)
{
    char name[16];
    snprintf(name, sizeof(name), "%u", unit);
    return nvkeep_path(buf, name);
}

// The code held by the hook file `name`, or 0 when there is none.
int nvkeep_injected(const char *name)
{
    char path[NVKEEP_PATH_MAX];
    if (!nvkeep_path(path, name)) return 0;
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return 0;
    char text[32] = {};
    ssize_t n = read(fd.get(), text, sizeof(text) - 1);
    if (n <= 0) return 0;
    errno = 0;
    char *end = nullptr;
    long code = strtol(text, &end, 10);
    if (end == text || errno != 0 || code < INT_MIN || code > INT_MAX) return 0;
    return static_cast<int>(code);
}

bool nvkeep_write_all(int fd, const unsigned char *data, size_t length)
{
    return full_write(fd, data, length) >= 0;
}

// Makes a finished rename durable.
void nvkeep_sync_dir(void)
{
    unique_fd fd(open(nvkeep_dir(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() >= 0) fsync(fd.get());
}

}  // namespace

extern "C" int nvkeep_get_unit_size(uint32_t unit, uint32_t *size)
{
    if (size == nullptr) return NVKEEP_ERR_ARG;
    if (int code = nvkeep_injected("fail_size"); code != 0) return code;
    char path[NVKEEP_PATH_MAX];
    if (!nvkeep_unit_path(path, unit)) return NVKEEP_ERR_ARG;
    struct stat st;
    if (stat(path, &st) != 0) return errno == ENOENT ? NVKEEP_EMPTY : NVKEEP_ERR_IO;
    if (!S_ISREG(st.st_mode)) return NVKEEP_ERR_IO;
    if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > UINT32_MAX) return NVKEEP_ERR_SIZE;
    *size = static_cast<uint32_t>(st.st_size);
    return NVKEEP_OK;
}

extern "C" int nvkeep_write_unit(uint32_t unit, const void *data, uint32_t length)
{
    if (data == nullptr && length != 0) return NVKEEP_ERR_ARG;
    if (int code = nvkeep_injected("fail_write"); code != 0) return code;
    char path[NVKEEP_PATH_MAX];
    char tmp[NVKEEP_PATH_MAX];
    char tmpname[32];
    snprintf(tmpname, sizeof(tmpname), ".%u.XXXXXX", unit);
    if (!nvkeep_unit_path(path, unit) || !nvkeep_path(tmp, tmpname)) return NVKEEP_ERR_ARG;

    // New content goes to a private file first; only a complete, synced file
    // is renamed over the unit.
    unique_fd fd(mkostemp(tmp, O_CLOEXEC));
    if (fd.get() < 0) return NVKEEP_ERR_IO;
    bool ok = fchmod(fd.get(), 0644) == 0 &&
              nvkeep_write_all(fd.get(), static_cast<const unsigned char *>(data), length) &&
              fsync(fd.get()) == 0;
    ok = (close(fd.release()) == 0) && ok;
    if (!ok || rename(tmp, path) != 0) {
        unlink(tmp);
        return NVKEEP_ERR_IO;
    }
    nvkeep_sync_dir();
    return NVKEEP_OK;
}
