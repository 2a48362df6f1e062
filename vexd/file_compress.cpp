// gzip routines: a text or qmdl file appended as one level-9 member, and back.
#include "file_compress.h"
#include "rotation_journal.h"
#include "unique_fd.h"
#include "vexd.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <memory>
#include <utility>

namespace {

struct gz_closer {
    void operator()(gzFile gz) const { gzclose(gz); }
};
using unique_gz = std::unique_ptr<gzFile_s, gz_closer>;

constexpr size_t BLOCK_LEN = 16384;
// gzwrite takes an unsigned int length; larger mappings go in pieces.
constexpr size_t GZ_CHUNK = 1u << 30;

// 0 when the whole input went into gz; -1 when the input cannot be mapped
// (the caller copies by blocks instead); -3 on a write failure. Closes
// nothing: both handles stay the caller's.
int gz_compress_mmap(FILE *in, gzFile gz)
{
    struct stat st {};
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
            return -3;
        }
        done += chunk;
    }
    munmap(map, len);
    return 0;
}

// True on success. Takes both handles and closes them in every case;
// success includes the final gzclose, which writes the trailer.
bool gz_compress(unique_file in, unique_gz gz)
{
    const int rc = gz_compress_mmap(in.get(), gz.get());
    if (rc == -3) return false;
    if (rc == -1) {
        char buf[BLOCK_LEN];
        for (;;) {
            size_t len = fread(buf, 1, sizeof(buf), in.get());
            if (ferror(in.get())) return false;
            if (len == 0) break;
            int n = gzwrite(gz.get(), buf, static_cast<unsigned>(len));
            if (n <= 0 || static_cast<size_t>(n) < len) return false;
        }
    }
    in.reset();
    return gzclose(gz.release()) == Z_OK;
}

// True on success. Takes both handles and closes them in every case; a
// failed close of either is a failure.
bool gz_uncompress(unique_gz gz, unique_file out)
{
    char buf[BLOCK_LEN];
    bool ok = true;
    for (;;) {
        int len = gzread(gz.get(), buf, sizeof(buf));
        if (len == 0) break;
        if (len < 0 || fwrite(buf, 1, static_cast<size_t>(len), out.get()) != static_cast<size_t>(len)) {
            ok = false;
            break;
        }
    }
    ok = fclose(out.release()) == 0 && ok;
    ok = gzclose(gz.release()) == Z_OK && ok;
    return ok;
}

// An fsync of `fd` on a thread of its own until the object goes, so that it
// waits on the flash while the caller makes another file durable: a rotation
// needs its input and its record on disk before the member, in either order,
// and on the log partition's journal the two syncs can share one commit. When
// no thread can be had, the fsync is made at once.
class side_sync {
public:
    explicit side_sync(int fd) : fd_(fd)
    {
        started_ = pthread_create(&pt_, nullptr, run, this) == 0;
        if (!started_) (void)fsync(fd_);
    }
    ~side_sync()
    {
        if (started_) pthread_join(pt_, nullptr);
    }
    side_sync(const side_sync &) = delete;
    side_sync &operator=(const side_sync &) = delete;

private:
    static void *run(void *arg)
    {
        pthread_setname_np(pthread_self(), "vexd.rotsync");
        (void)fsync(static_cast<side_sync *>(arg)->fd_);
        return nullptr;
    }
    int fd_;
    pthread_t pt_{};
    bool started_ = false;
};

}  // namespace

int32_t file_compress(const char *in, const char *out)
{
    // The input is opened first: closing an unused gzip handle would still
    // append an empty member.
    unique_file fin(fdopen_owned(vexd_log_open(in, O_RDONLY, 0), "rb"));
    if (!fin) return 0;
    // The input on disk must be all that goes into the member: its writers
    // leave up to one sync period unsynced, and after a power cut that kept
    // the member but not the emptying of the input, a shorter input would no
    // longer match the whole member, stay, and be compressed a second time.
    // (A pipe or a file on a read-only mount has nothing to sync.) The record
    // is written and synced meanwhile.
    struct stat before {};
    const int64_t start = lstat(out, &before) == 0 ? static_cast<int64_t>(before.st_size) : 0;
    bool recorded = false;
    {
        const side_sync input_synced(fileno(fin.get()));
        recorded = file_member_begin(in, out, start) == 0;
    }
    if (!recorded) return 0;
    // A link in the partner's place is refused: the member is not written,
    // and the caller keeps its input.
    unique_fd fd(vexd_log_open(out, O_WRONLY | O_CREAT | O_APPEND, 0777));
    unique_fd keep(fd.ok() ? dup(fd.get()) : -1);  // stays open past gzclose for the fsync
    unique_gz gz(keep.ok() ? gzdopen(fd.get(), "ab9") : nullptr);
    if (!gz) {
        fd.reset();
        keep.reset();
        fin.reset();
        file_append_undo(out, start);
        return 0;
    }
    fd.release();  // gz owns it now
    // gz_compress closes fin and gz. The member must be on disk before the
    // caller empties its text.
    bool ok = gz_compress(std::move(fin), std::move(gz));
    ok = ok && fsync(keep.get()) == 0;
    struct stat after {};
    ok = ok && fstat(keep.get(), &after) == 0;
    keep.reset();
    if (!ok) {
        // Cut a partly written member off again, so the gzip file stays a
        // clean series of members and the text can be compressed later.
        file_append_undo(out, start);
        return 0;
    }
    return static_cast<int32_t>(after.st_size);
}

int32_t file_uncompress(const char *in, const char *out)
{
    unique_fd gz_fd(vexd_log_open(in, O_RDONLY, 0));
    unique_gz gz(gz_fd.ok() ? gzdopen(gz_fd.get(), "rb") : nullptr);
    if (!gz) return 0;
    gz_fd.release();  // gz owns it now
    unique_file fout(fdopen_owned(vexd_log_open(out, O_WRONLY | O_CREAT | O_TRUNC, 0777), "wb"));
    if (!fout) return 0;
    if (!gz_uncompress(std::move(gz), std::move(fout))) return 0;
    return vexd_get_file_size(out);
}
