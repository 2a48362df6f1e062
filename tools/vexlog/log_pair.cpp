// A text log pair, read while the daemon may rotate it.
#include "log_pair.h"

#include "gz_members.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>

namespace vexlog {
namespace {

// The rotation record NAME.gz.part. Before it appends a member to the gzip
// file, the daemon writes "z SIZE TEXTPATH\n" there, SIZE being the gzip
// file's size before the member; it empties the text file once the member
// is on disk, and then the record. Empty or missing: no rotation under way
// (or, in a copy, one whose text file has been emptied).
struct record_look {
    file_look file;
    std::string text;
    bool operator==(const record_look &) const = default;

    // The gzip file's size before the member being appended, or -1.
    int64_t member_start() const
    {
        char kind = 0;
        int64_t size = -1;
        if (text.empty() || text.back() != '\n' || sscanf(text.c_str(), "%c %" SCNd64, &kind, &size) != 2 ||
            kind != 'z')
            return -1;
        return size;
    }
};

record_look look_at_record(const source &src, const log_kind &k)
{
    const std::string name = std::string(k.base) + ".gz" + LOG_RECORD_SUFFIX;
    record_look rec;
    rec.file = look_at(src, name);
    std::string why;
    auto r = rec.file.exists ? open_file(src, name, 0, &why) : nullptr;
    char text[512];
    size_t got = 0;
    for (ssize_t n; r && got < sizeof text && (n = r->read(text + got, sizeof text - got)) > 0;)
        got += static_cast<size_t>(n);
    rec.text.assign(text, got);
    return rec;
}

// One look at a log's pair: the record, the text file and the gzip file,
// taken again until the record is the same after as before.
struct pair_look {
    record_look rec;
    file_look txt, gz;

    // Where the gzip file's members end that hold no text still in the text
    // file: before a member being appended while the text file still holds
    // its text. A text file emptied during a rotation had its member on disk.
    uint64_t gz_end() const
    {
        const int64_t start = rec.member_start();
        if (start < 0 || txt.size == 0) return gz.size;
        return std::min(static_cast<uint64_t>(start), gz.size);
    }

    // Whether the gzip file and the record are as in `before`: no rotation
    // began or ended in between. While one is under way the gzip file grows,
    // but the text file is left alone until it is emptied.
    bool same_rotation(const pair_look &before) const
    {
        return rec == before.rec && gz.exists == before.gz.exists && gz.ino == before.gz.ino &&
               (rec.member_start() >= 0 || gz.size == before.gz.size);
    }
};

pair_look look_at_pair(const source &src, const log_kind &k)
{
    pair_look p;
    for (int tries = 0; tries < 1000; tries++) {
        p.rec = look_at_record(src, k);
        p.txt = look_at(src, std::string(k.base) + ".txt");
        p.gz = look_at(src, std::string(k.base) + ".gz");
        if (src.is_zip() || look_at_record(src, k) == p.rec) break;
    }
    return p;
}

// Feeds the text of the new members, less the `skip` bytes already taken
// from the text file before it was rotated.
struct skipper {
    splitter *sp;
    uint64_t skip;
};
void emit_skipping(void *c, const char *p, size_t n)
{
    auto *s = static_cast<skipper *>(c);
    if (s->skip >= n) {
        s->skip -= n;
        return;
    }
    s->sp->feed(p + s->skip, n - s->skip);
    s->skip = 0;
}
void lost_skipping(void *c) { static_cast<skipper *>(c)->sp->lost(); }

std::unique_ptr<file_reader> open_at(const source &src, const std::string &name, uint64_t offset,
                                     read_state *st)
{
    std::string why;
    auto r = open_file(src, name, offset, &why);
    if (!r && !why.empty() && !st->open_failed) {
        complain("%s: cannot open: %s", src.describe(name).c_str(), why.c_str());
        st->open_failed = true;
    }
    return r;
}

// Reads what `look` shows beyond `st`: the new members of the gzip file (the
// text already taken from the text file before it went into them left
// out), then the text file to its end. False when a rotation began or ended
// while the text file was read: the text read since is left for the next pass.
bool read_pass(const source &src, const log_kind &k, const pair_look &look, splitter *sp, read_state *st)
{
    const std::string gz = std::string(k.base) + ".gz", txt = std::string(k.base) + ".txt";
    const uint64_t end = look.gz_end();
    if (look.gz.exists) {
        const uint64_t from =
            look.gz.ino != st->gz_ino || end < st->gz_read ? 0 : st->gz_read;  // or started anew
        st->gz_ino = look.gz.ino;
        st->gz_read = from;
        if (end > from) {
            if (auto r = open_at(src, gz, from, st)) {
                skipper sk{sp, st->txt_read};
                st->gz_read =
                    read_members(r.get(), src.describe(gz), from, end, emit_skipping, &sk, lost_skipping);
                st->txt_read = 0;
            }
        }
    }
    if (!look.txt.exists) return true;
    if (look.txt.size < st->txt_read) {
        complain("%s: emptied outside a rotation; reading it again from its start",
                 src.describe(txt).c_str());
        sp->lost();
        st->txt_read = 0;
    }
    auto r = open_at(src, txt, st->txt_read, st);
    static char buf[TEXT_BUF];
    for (ssize_t n; r && (n = r->read(buf, sizeof buf)) != 0;) {
        if (n < 0) {
            complain("%s: read error: %s", src.describe(txt).c_str(), r->error.c_str());
            sp->lost();
            break;
        }
        // The bytes belong to the text that follows the members taken only
        // when no rotation began or ended meanwhile.
        if (!src.is_zip() && !look_at_pair(src, k).same_rotation(look)) return false;
        sp->feed(buf, static_cast<size_t>(n));
        st->txt_read += static_cast<uint64_t>(n);
    }
    return true;
}

}  // namespace

// Reads a log up to now, as one consistent whole even while the daemon
// rotates it: passes over its pair until one ends as it began, with the text
// file not emptied behind it. False when neither file is there.
bool read_log(const source &src, const log_kind &k, splitter *sp, read_state *st)
{
    bool any = false;
    for (;;) {
        const pair_look look = look_at_pair(src, k);
        any = any || look.gz.exists || look.txt.exists;
        if (!read_pass(src, k, look, sp, st)) continue;
        if (src.is_zip()) return any;
        const pair_look after = look_at_pair(src, k);
        if (after.same_rotation(look) && (!after.txt.exists || after.txt.size >= st->txt_read)) return any;
    }
}

}  // namespace vexlog
