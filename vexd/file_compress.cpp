// gzip routines: a text or qmdl file appended as one level-9 member, and back.
#include "file_compress.h"
#include "vexd.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>

namespace {

constexpr size_t BLOCK_LEN = 16384;
// gzwrite takes an unsigned int length; larger mappings go in pieces.
constexpr size_t GZ_CHUNK = 1u << 30;

// 0 on success; -1 when the input cannot be mapped (nothing is closed, the
// caller copies by blocks instead); -3 on a write or close failure.
int gz_compress_mmap(FILE *in, gzFile gz)
{
    struct stat st{};
    if (fstat(fileno(in), &st) != 0 || st.st_size <= 0) return -1;
    if (static_cast<uint64_t>(st.st_size) > SIZE_MAX) return -1;  // too large to map where size_t is 32 bits
    size_t len = static_cast<size_t>(st.st_size);
    void *map = mmap(nullptr, len, PROT_READ, MAP_SHARED, fileno(in), 0);
    if (map == MAP_FAILED) return -1;

    const char *p = static_cast<const char *>(map);
    for (size_t done = 0; done < len;) {
        size_t chunk = len - done < GZ_CHUNK ? len - done : GZ_CHUNK;
        int n = gzwrite(gz, p + done, static_cast<unsigned>(chunk));
        if (n <= 0 || static_cast<size_t>(n) < chunk) {
            munmap(map, len);
            fclose(in);
            gzclose(gz);
            return -3;
        }
        done += chunk;
    }
    munmap(map, len);
    fclose(in);
    return gzclose(gz) == Z_OK ? 0 : -3;
}

// 1 on success, 0 on failure; closes both in every case.
int gz_compress(FILE *in, gzFile gz)
{
    int rc = gz_compress_mmap(in, gz);
    if (rc == 0) return 1;
    if (rc == -3) return 0;

    char buf[BLOCK_LEN];
    for (;;) {
        size_t len = fread(buf, 1, sizeof(buf), in);
        if (ferror(in)) {
            fclose(in);
            gzclose(gz);
            return 0;
        }
        if (len == 0) {
            fclose(in);
            return gzclose(gz) == Z_OK ? 1 : 0;
        }
        int n = gzwrite(gz, buf, static_cast<unsigned>(len));
        if (n <= 0 || static_cast<size_t>(n) < len) {
            fclose(in);
            gzclose(gz);
            return 0;
        }
    }
}

// 1 on success, 0 on failure; closes both in every case.
int gz_uncompress(gzFile gz, FILE *out)
{
    char buf[BLOCK_LEN];
    bool ok = true;
    for (;;) {
        int len = gzread(gz, buf, sizeof(buf));
        if (len == 0) break;
        if (len < 0 || fwrite(buf, 1, static_cast<size_t>(len), out) != static_cast<size_t>(len)) {
            ok = false;
            break;
        }
    }
    ok = fclose(out) == 0 && ok;
    ok = gzclose(gz) == Z_OK && ok;
    return ok ? 1 : 0;
}

}  // namespace

int32_t file_compress(const char *in, const char *out)
{
    // The input is opened first: closing an unused gzip handle would still
    // append an empty member.
    FILE *fin = fopen(in, "rb");
    if (fin == nullptr) return 0;
    struct stat before{};
    const bool existed = stat(out, &before) == 0;
    gzFile gz = gzopen(out, "ab9");
    if (gz == nullptr) {
        fclose(fin);
        return 0;
    }
    if (!gz_compress(fin, gz)) {
        // Cut a partly written member off again, so the gzip file stays a
        // clean series of members and the text can be compressed later.
        int rc = existed ? truncate(out, before.st_size) : unlink(out);
        (void)rc;
        return 0;
    }
    return vexd_get_file_size(out);
}

int32_t file_uncompress(const char *in, const char *out)
{
    gzFile gz = gzopen(in, "rb");
    if (gz == nullptr) return 0;
    FILE *fout = fopen(out, "wb");
    if (fout == nullptr) {
        gzclose(gz);
        return 0;
    }
    if (!gz_uncompress(gz, fout)) return 0;
    return vexd_get_file_size(out);
}
