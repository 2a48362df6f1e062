// The mask-file loader over arbitrary files: the input is the mask file. The
// packets it sends go to a plain file standing in for the device, and must
// be, in order, the type word followed by each 0x7E-terminated packet of the
// file that fits the packet buffer.
#include "diaglog.h"
#include "full_io.h"
#include "fuzz_dir.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void print_stub(const char *format, ...)
{
    char line[512];
    va_list ap;
    va_start(ap, format);
    vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
}
void sync_stub(int) {}

std::string g_dir;
std::string g_mask;
std::string g_dev;

void setup()
{
    g_dir = fuzz_dir("mask");
    g_mask = g_dir + "/mask.cfg";
    g_dev = g_dir + "/diag";
    diaglog_settings_t s{};
    snprintf(s.log_dir, sizeof s.log_dir, "%s", g_dir.c_str());
    snprintf(s.mask_file, sizeof s.mask_file, "%s", g_mask.c_str());
    s.startup_counter = 2;
    s.print = print_stub;
    s.need_sync = sync_stub;
    s.write = full_write;
    if (diaglog_init(&s) != 0) abort();
}

std::vector<uint8_t> read_all(const std::string &path)
{
    std::vector<uint8_t> out;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr) abort();
    int c;
    while ((c = fgetc(f)) != EOF) out.push_back(static_cast<uint8_t>(c));
    fclose(f);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool once = (setup(), true);
    (void)once;
    if (size > 65536) return 0;

    FILE *f = fopen(g_mask.c_str(), "wb");
    if (f == nullptr || (size != 0 && fwrite(data, 1, size, f) != size) || fclose(f) != 0) abort();
    const int dev = open(g_dev.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (dev < 0) abort();
    const int rc = diaglog_load_mask(dev, g_mask.c_str());
    close(dev);
    const std::vector<uint8_t> sent = read_all(g_dev);

    if (rc != 0) {
        if (!sent.empty()) abort();  // a refused file sends nothing
        return 0;
    }
    constexpr size_t packet_max = 8192 - 4;
    std::vector<uint8_t> want;
    size_t start = 0;
    for (size_t i = 0; i < size; i++) {
        if (data[i] != 0x7E) continue;
        const size_t len = i + 1 - start;
        if (len <= packet_max) {
            const uint8_t type[4] = {0x20, 0, 0, 0};
            want.insert(want.end(), type, type + 4);
            want.insert(want.end(), data + start, data + i + 1);
        }
        start = i + 1;
    }
    if (sent != want) abort();
    return 0;
}
