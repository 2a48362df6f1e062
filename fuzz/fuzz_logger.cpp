// Logger entry decoding and line formatting: the input is what one read of
// /dev/log/main returned. The entry buffer has exactly the room the collector
// promises (the bytes read plus one), so any write or read past it is caught.
#include "logcat_srv.h"

#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 4096) return 0;  // one read never returns more
    std::unique_ptr<char[]> entry(new char[size + 1]);
    if (size != 0) memcpy(entry.get(), data, size);
    std::unique_ptr<char[]> line(new char[LOGCAT_LINE_LEN]);
    // The time stamp is taken from the input too, to reach every width.
    int64_t t = 0;
    if (size >= 28) memcpy(&t, data + size - 8, sizeof t);
    if (t < 0) t = -(t + 1);
    const int n = logcat_srv_format_entry(entry.get(), static_cast<int>(size), t, line.get());
    if (n >= 0) {
        // One line, of the length reported, ending in exactly one line break.
        if (n >= LOGCAT_LINE_LEN || line[n] != '\0' || strlen(line.get()) != static_cast<size_t>(n)) abort();
        if (n < LOGCAT_LINE_LEN - 1 && (n == 0 || line[n - 1] != '\n')) abort();
    }
    return 0;
}
