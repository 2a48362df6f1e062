// Rotation journal: the records that make a rotation or a move of a log
// file survive a kill or a power loss, and the start-up repair that settles
// them.
#include "rotation_journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "full_io.h"
#include "unique_fd.h"
#include "vexd.h"  // last: it replaces the C library's assert

namespace {

constexpr size_t PATH_LEN = 256;
constexpr size_t RECORD_PATH_LEN = PATH_LEN + 8;

bool record_path(char *buf, const char *out)
{
    return snprintf(buf, RECORD_PATH_LEN, "%s%s", out, LOG_RECORD_SUFFIX) < static_cast<int>(RECORD_PATH_LEN);
}

// Writes the rotation record of `out`: the kind ('z' a gzip member, 'c' a
// byte copy), the size of `out` before the append and the input's path.
// The record is on disk before the append begins. A pair's record file stays
// from its first rotation on (emptied, not removed, when a rotation of its
// own is done: record_idle), so that from then on only its content has to
// reach the disk and not a new directory entry. The record is a few hundred
// bytes at the start of the file, inside one sector.
int record_write(const char *out, char kind, int64_t out_size, const char *in)
{
    char path[RECORD_PATH_LEN];
    if (!record_path(path, out)) return -1;
    char text[PATH_LEN + 40];
    int len = snprintf(text, sizeof text, "%c %" PRId64 " %s\n", kind, out_size, in);
    if (len < 0 || static_cast<size_t>(len) >= sizeof text) return -1;
    bool created = true;
    struct stat st {};
    unique_fd fd = open_regular(path, O_WRONLY | O_CREAT | O_EXCL, 0777, &st);
    if (!fd.ok() && errno == EEXIST) {
        created = false;
        fd = open_regular(path, O_WRONLY, 0, &st);
    }
    if (!fd.ok()) return -1;
    bool ok = (st.st_size == 0 || ftruncate(fd.get(), 0) == 0) &&
              full_write(fd.get(), text, static_cast<size_t>(len)) == len && fdatasync(fd.get()) == 0;
    ok = close(fd.release()) == 0 && ok;
    if (!ok) {
        unlink(path);
        return -1;
    }
    if (created) file_sync_parent_dir(path);
    return 0;
}

void record_remove(const char *out)
{
    char path[RECORD_PATH_LEN];
    if (record_path(path, out)) unlink(path);
}

// Empties the record of `out`: no rotation of the pair under way. Not synced:
// its input was emptied before, and the file system's journal keeps the two
// in that order, so an empty record on disk means an emptied input on disk.
// A record that still holds its text after a power cut is settled at the
// next start like any other.
void record_idle(const char *out)
{
    char path[RECORD_PATH_LEN];
    if (!record_path(path, out)) return;
    const unique_fd fd = open_regular(path, O_WRONLY);
    if (!fd.ok() || ftruncate(fd.get(), 0) != 0) record_remove(out);
}

// Blocks in which the repair reads the files it checks.
constexpr size_t BLOCK_LEN = 16384;

// ---- the start-up repair ----
//
// It runs as root before anything else, so it reads only the records of the
// daemon's own pairs, follows no link (record, output or input), and changes
// a file only where the record and the files agree on what happened.

enum class member_state { whole, incomplete, bad };

// Decodes the gzip member that begins at `offset` of `fd`, reading no further
// than `limit`: whole (its CRC-32, length and the offset just past it in
// *crc, *len and *end), incomplete (the bytes run out inside it, with no
// fault in those there are) or bad (not a member, damaged, or unreadable).
// zlib checks the member's own CRC and length on the way.
member_state member_at(int fd, int64_t offset, int64_t limit, uint32_t *crc, uint64_t *len, int64_t *end)
{
    if (lseek(fd, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(offset)) return member_state::bad;
    z_stream zs{};
    if (inflateInit2(&zs, 15 + 16) != Z_OK) return member_state::bad;
    unsigned char in[BLOCK_LEN];
    unsigned char out[BLOCK_LEN];
    uLong sum = crc32(0L, Z_NULL, 0);
    uint64_t total = 0;
    int64_t consumed = 0;
    int64_t read_to = offset;
    int rc = Z_OK;
    bool at_eof = false;
    while (rc != Z_STREAM_END) {
        const size_t want = limit - read_to < static_cast<int64_t>(sizeof in) ? static_cast<size_t>(limit - read_to)
                                                                               : sizeof in;
        const ssize_t n = want > 0 ? retry_read(fd, in, want) : 0;
        if (n <= 0) {
            at_eof = n == 0;
            break;
        }
        read_to += n;
        zs.next_in = in;
        zs.avail_in = static_cast<uInt>(n);
        do {
            zs.next_out = out;
            zs.avail_out = sizeof out;
            rc = inflate(&zs, Z_NO_FLUSH);
            if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) break;
            const size_t got = sizeof out - zs.avail_out;
            sum = crc32(sum, out, static_cast<uInt>(got));
            total += got;
        } while (rc == Z_OK && (zs.avail_in > 0 || zs.avail_out == 0));
        consumed += n - static_cast<int64_t>(zs.avail_in);
        if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) break;
    }
    inflateEnd(&zs);
    if (rc == Z_STREAM_END) {
        *crc = static_cast<uint32_t>(sum);
        *len = total;
        *end = offset + consumed;
        return member_state::whole;
    }
    // Out of bytes while zlib still waited for more (Z_BUF_ERROR: no progress
    // without them); a fault it found in them (Z_DATA_ERROR) is damage.
    return at_eof && (rc == Z_OK || rc == Z_BUF_ERROR) ? member_state::incomplete : member_state::bad;
}

// Where the zeros that end the bytes of `fd` from `start` to `size` begin:
// just past the last byte that is not zero (`start` when every one is, `size`
// when the last is not), or -1 when they cannot be read.
int64_t zeros_to_end(int fd, int64_t start, int64_t size)
{
    unsigned char buf[BLOCK_LEN];
    int64_t end = size;
    while (end > start) {
        const int64_t from = end - start > static_cast<int64_t>(sizeof buf) ? end - static_cast<int64_t>(sizeof buf)
                                                                             : start;
        const size_t want = static_cast<size_t>(end - from);
        if (pread(fd, buf, want, static_cast<off_t>(from)) != static_cast<ssize_t>(want)) return -1;
        size_t i = want;
        while (i > 0 && buf[i - 1] == 0) --i;
        if (i > 0) return from + static_cast<int64_t>(i);
        end = from;
    }
    return start;
}

// CRC-32 and length of what `fd` holds from its start.
bool fd_crc(int fd, uint32_t *crc, uint64_t *len)
{
    if (lseek(fd, 0, SEEK_SET) != 0) return false;
    unsigned char buf[BLOCK_LEN];
    uLong sum = crc32(0L, Z_NULL, 0);
    uint64_t total = 0;
    ssize_t n;
    while ((n = retry_read(fd, buf, sizeof buf)) > 0) {
        sum = crc32(sum, buf, static_cast<uInt>(n));
        total += static_cast<uint64_t>(n);
    }
    if (n < 0) return false;
    *crc = static_cast<uint32_t>(sum);
    *len = total;
    return true;
}

// True when the bytes of `out` from `offset` to its end are the first bytes
// of `in`: a copy of `in` that began at `offset`.
bool copy_of_prefix(int out, int64_t offset, int in)
{
    if (lseek(out, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(offset) ||
        lseek(in, 0, SEEK_SET) != 0)
        return false;
    unsigned char a[BLOCK_LEN];
    unsigned char b[BLOCK_LEN];
    for (;;) {
        const ssize_t n = full_read(out, a, sizeof a);
        if (n < 0) return false;
        if (n == 0) return true;
        if (full_read(in, b, static_cast<size_t>(n)) != n || memcmp(a, b, static_cast<size_t>(n)) != 0)
            return false;
    }
}

// Where `name` (a file name in the record's directory) fits `pattern`, whose
// one '*' stands for any text without a '/': that text in `star`.
bool name_fits(const char *pattern, const char *name, char *star, size_t star_len)
{
    const char *asterisk = strchr(pattern, '*');
    if (asterisk == nullptr) {
        star[0] = '\0';
        return strcmp(pattern, name) == 0;
    }
    const size_t head = static_cast<size_t>(asterisk - pattern), tail = strlen(asterisk + 1), len = strlen(name);
    if (len <= head + tail || strncmp(pattern, name, head) != 0 || strcmp(asterisk + 1, name + len - tail) != 0)
        return false;
    const size_t mid = len - head - tail;
    if (mid >= star_len) return false;
    memcpy(star, name + head, mid);
    star[mid] = '\0';
    return strchr(star, '/') == nullptr;
}

// The input path that a record of kind `kind` for the output `out_name` in
// `dir` must name, from the pair it belongs to (kind 0: any pair); false for
// a name and kind of no pair.
bool expected_input(const char *dir, const char *out_name, char kind, std::span<const file_pair_t> pairs,
                    char *in, size_t in_len)
{
    for (const file_pair_t &pair : pairs) {
        char star[PATH_LEN];
        if ((kind != 0 && pair.kind != kind) || !name_fits(pair.out, out_name, star, sizeof star)) continue;
        char name[PATH_LEN];
        const char *asterisk = strchr(pair.in, '*');
        if (asterisk == nullptr)
            snprintf(name, sizeof name, "%s", pair.in);
        else
            snprintf(name, sizeof name, "%.*s%s%s", static_cast<int>(asterisk - pair.in), pair.in, star,
                     asterisk + 1);
        const int n = name[0] == '/' ? snprintf(in, in_len, "%s", name) : snprintf(in, in_len, "%s/%s", dir, name);
        return n > 0 && static_cast<size_t>(n) < in_len;
    }
    return false;
}

// The outcome of one record: settled, and whether that changed a file (a
// record of a rotation that had ended, or never began, changes nothing), or
// dropped with the reason (nothing touched but the record itself).
struct repair_outcome {
    bool settled;
    const char *why;
    bool changed = false;
};
constexpr repair_outcome SETTLED_UNCHANGED{true, nullptr};
constexpr repair_outcome SETTLED_CHANGED{true, nullptr, true};

// Cuts `out` (open, at `path`) back to `start` bytes, where the append of
// its record began. An output that held nothing before goes instead, as
// file_append_undo takes it back: an empty .gz does not decode. Removed only
// while the name is still the file that was examined, and the removal
// synced in the directory.
void cut_back(int out, const char *path, int64_t start)
{
    if (start > 0) {
        if (ftruncate(out, static_cast<off_t>(start)) == 0) fsync(out);
        return;
    }
    struct stat opened {};
    struct stat named {};
    if (fstat(out, &opened) == 0 && lstat(path, &named) == 0 && opened.st_dev == named.st_dev &&
        opened.st_ino == named.st_ino && unlink(path) == 0)
        file_sync_parent_dir(path);
    else if (ftruncate(out, 0) == 0)
        fsync(out);
}

// Settles a gzip rotation of `in_path` onto `out` (open at `out_path`, size
// `size`) that began when `out` held `start` bytes.
repair_outcome settle_member(int out, const char *out_path, int64_t size, int64_t start, const char *in_path)
{
    if (size <= start) return SETTLED_UNCHANGED;  // the append never began
    // A power cut can leave the file longer than what of the member reached
    // the disk, the rest zeros (blocks allocated, their data never written):
    // the member is read only up to them.
    const int64_t data_end = zeros_to_end(out, start, size);
    if (data_end < 0) return {false, "its output cannot be read"};
    if (data_end == start) {
        // Nothing but zeros after the recorded size.
        cut_back(out, out_path, start);
        return SETTLED_CHANGED;
    }
    static constexpr unsigned char MAGIC[] = {0x1f, 0x8b, 0x08};
    unsigned char head[sizeof MAGIC] = {};
    const size_t want = data_end - start < static_cast<int64_t>(sizeof head) ? static_cast<size_t>(data_end - start)
                                                                               : sizeof head;
    if (pread(out, head, want, static_cast<off_t>(start)) != static_cast<ssize_t>(want) ||
        memcmp(head, MAGIC, want) != 0)
        return {false, "no gzip member begins at its recorded size"};

    uint32_t member_crc = 0;
    uint64_t member_len = 0;
    int64_t end = 0;
    member_state state = member_at(out, start, size, &member_crc, &member_len, &end);
    // zlib takes the zeros of a power cut for damage: a member that does not
    // decode to the end of the file is read again only up to them, and is
    // cut short when its bytes run out there. (Read first to the end, since
    // a whole member may end in zeros of its own: its length.)
    if (state == member_state::bad && data_end < size)
        state = member_at(out, start, data_end, &member_crc, &member_len, &end);
    switch (state) {
    case member_state::incomplete:
        // The member that the kill cut short, and nothing after it: cut off;
        // its text is still in the input.
        cut_back(out, out_path, start);
        return SETTLED_CHANGED;
    case member_state::bad:
        // Damaged, not cut short: whatever follows it stays, and so does the
        // member itself.
        return {false, "the gzip member after its recorded size is damaged"};
    case member_state::whole:
        break;
    }
    if (end != size) return {false, "more than one member follows its recorded size"};
    // The member is whole; an input that still holds exactly its text is
    // emptied now, as the rotation would have done.
    struct stat st {};
    const unique_fd in = open_regular(in_path, O_RDWR, 0, &st);
    uint32_t in_crc = 0;
    uint64_t in_len = 0;
    if (in.ok() && fd_crc(in.get(), &in_crc, &in_len) && in_len == member_len && in_crc == member_crc &&
        ftruncate(in.get(), 0) == 0) {
        fsync(in.get());
        return SETTLED_CHANGED;
    }
    return SETTLED_UNCHANGED;  // the rotation had ended
}

// Settles a byte copy of `in_path` onto `out` (open at `out_path`) that
// began at `start`.
repair_outcome settle_copy(int out, const char *out_path, int64_t size, int64_t start, const char *in_path)
{
    if (size <= start) return SETTLED_UNCHANGED;
    struct stat st {};
    const unique_fd in = open_regular(in_path, O_RDONLY, 0, &st);
    // The move removes its input last: with the input gone the copy is
    // whole and stays.
    if (!in.ok()) return SETTLED_UNCHANGED;
    // While the input is there the copy is taken back, and the next move
    // makes it again; but only what is a copy of it.
    if (!copy_of_prefix(out, start, in.get())) return {false, "the bytes after its recorded size are not its source's"};
    cut_back(out, out_path, start);
    return SETTLED_CHANGED;
}

// Settles one rotation record, "<dir>/<out_name>.part", of one of `pairs`.
repair_outcome repair_one(const char *dir, const char *out_name, std::span<const file_pair_t> pairs)
{
    char out_path[RECORD_PATH_LEN];
    char record[RECORD_PATH_LEN];
    snprintf(out_path, sizeof out_path, "%s/%s", dir, out_name);
    if (!record_path(record, out_path)) return {false, "path too long"};

    struct stat st {};
    if (lstat(record, &st) != 0 || !S_ISREG(st.st_mode)) return {false, "not a regular file"};
    char text[PATH_LEN + 40] = {};
    ssize_t n = -1;
    if (const unique_fd fd = open_regular(record, O_RDONLY, 0, &st); fd.ok())
        n = full_read(fd.get(), text, sizeof text - 1);
    char kind = 0;
    int64_t start = -1;
    int used = 0;
    // An empty record is a pair's whose last rotation was done; one that is
    // not whole was cut while being written, before its append began: there
    // is nothing to settle.
    if (n <= 0 || text[n - 1] != '\n') return SETTLED_UNCHANGED;
    if (sscanf(text, "%c %" SCNd64 " %n", &kind, &start, &used) != 2 || start < 0 || used <= 0 || kind == 0)
        return {false, "unreadable"};
    text[n - 1] = '\0';
    char in_expected[RECORD_PATH_LEN];
    if (!expected_input(dir, out_name, kind, pairs, in_expected, sizeof in_expected) ||
        strcmp(text + used, in_expected) != 0)
        return {false, "its input is not this file's partner"};

    if (lstat(out_path, &st) != 0) return SETTLED_UNCHANGED;  // nothing was appended yet
    if (!S_ISREG(st.st_mode)) return {false, "its output is not a regular file"};
    if (lstat(in_expected, &st) == 0 && !S_ISREG(st.st_mode)) return {false, "its input is not a regular file"};

    const unique_fd out = open_regular(out_path, O_RDWR, 0, &st);
    if (!out.ok()) return {false, "its output cannot be opened"};
    const int64_t size = static_cast<int64_t>(st.st_size);
    if (start == 0 && size == 0) {
        // Created for the append and killed before its first byte (zlib
        // holds a small member back until the close): an empty .gz does not
        // decode, so it goes, as a cut member would.
        cut_back(out.get(), out_path, 0);
        return SETTLED_CHANGED;
    }
    return kind == 'c' ? settle_copy(out.get(), out_path, size, start, in_expected)
                       : settle_member(out.get(), out_path, size, start, in_expected);
}
}  // namespace

void file_sync_parent_dir(const char *path)
{
    char dir[RECORD_PATH_LEN];
    snprintf(dir, sizeof dir, "%s", path);
    char *slash = strrchr(dir, '/');
    if (slash == nullptr) return;
    if (slash == dir)
        slash[1] = '\0';
    else
        *slash = '\0';
    // The log directory is reached through a link (/qordebug) by design, so
    // this one open follows it; read-only and only onto a directory, it
    // writes through nothing.
    const unique_fd fd(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.ok()) fsync(fd.get());
}

int file_member_begin(const char *in, const char *out, int64_t out_size)
{
    return record_write(out, 'z', out_size, in);
}

int file_copy_begin(const char *in, const char *out, int64_t out_size)
{
    return record_write(out, 'c', out_size, in);
}

void file_append_undo(const char *out, int64_t out_size)
{
    // A file that did not exist before the append goes (a link of its name
    // as the link). One that did is cut back only as a regular file of that
    // name, never through a link; no line in the daemon log, whose own
    // rotation may be the one taken back.
    if (out_size > 0) {
        struct stat st {};
        if (const unique_fd fd = open_regular(out, O_WRONLY, 0, &st); fd.ok())
            (void)ftruncate(fd.get(), static_cast<off_t>(out_size));
    } else {
        unlink(out);
    }
    record_remove(out);
}

void file_rotation_done(const char *in, const char *out, bool written_on)
{
    if (written_on) {
        // The writer goes on with the emptied input, and its regular sync
        // makes the emptying durable; until then the record stays on disk
        // for the repair, and the rotation waits for no sync here.
        record_idle(out);
        return;
    }
    // Only the input itself is synced, never what a link of its name points
    // to. (The daemon log's rotation writes on, and never logs from here.)
    struct stat st {};
    if (const unique_fd fd = open_regular(in, O_WRONLY, 0, &st); fd.ok()) {
        fsync(fd.get());
    } else if (lstat(in, &st) != 0) {
        if (errno == ENOENT) file_sync_parent_dir(in);  // removed: the removal is what must last
    } else if (!S_ISREG(st.st_mode)) {
        vexd_printf("Rotation onto %s: %s is not a regular file, not synced\n", out, in);
    }
    record_remove(out);
}

int file_rotation_repair(const char *dir, std::span<const file_pair_t> pairs, file_repair_note_fn note)
{
    const unique_dir d(opendir(dir));
    if (!d) return 0;
    int settled = 0;
    const size_t suffix = strlen(LOG_RECORD_SUFFIX);
    while (const struct dirent *entry = readdir(d.get())) {
        const size_t len = strlen(entry->d_name);
        if (len <= suffix || strcmp(entry->d_name + len - suffix, LOG_RECORD_SUFFIX) != 0 || len - suffix >= PATH_LEN)
            continue;
        char out_name[PATH_LEN];
        memcpy(out_name, entry->d_name, len - suffix);
        out_name[len - suffix] = '\0';
        char in[RECORD_PATH_LEN];
        // Records of names that no rotation of ours writes are not ours:
        // left alone.
        if (!expected_input(dir, out_name, 0, pairs, in, sizeof in)) continue;
        const repair_outcome outcome = repair_one(dir, out_name, pairs);
        char record[RECORD_PATH_LEN + PATH_LEN];
        snprintf(record, sizeof record, "%s/%s", dir, entry->d_name);
        // A record names a file of ours in a directory of ours: a link of
        // that name goes as the link; a directory stays.
        unlink(record);
        if (outcome.settled)
            settled += outcome.changed ? 1 : 0;
        else if (note != nullptr)
            note(record, outcome.why);
    }
    return settled;
}
