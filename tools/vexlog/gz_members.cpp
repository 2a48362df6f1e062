// The gzip member stream and its resynchronisation after a damaged member.
#include "gz_members.h"

#include "vexlog.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <vector>

namespace vexlog {
namespace {

constexpr size_t IN_BUF = 64 * 1024;

// The text of a member is held back until its check value has passed, up to
// this much; a larger member goes out as it is decoded.
constexpr size_t MEMBER_HOLD = 4 << 20;
// Wherever the bytes look like the head of a member, a candidate decoder
// starts there beside the member being read: at most this many at once, each
// holding at most this much text. When a member does not decode, reading
// goes on at the first candidate that decoded a whole member, without going
// back in the file, so that every byte is read once and decoded by at most
// MAX_TRIALS + 1 decoders: the time is linear in the file's size, whatever
// it holds.
constexpr size_t MAX_TRIALS = 8;
constexpr size_t TRIAL_HOLD = 1 << 20;

struct inflater {
    z_stream zs{};
    bool ok = false;
    inflater() { ok = inflateInit2(&zs, 16 + MAX_WBITS) == Z_OK; }
    ~inflater()
    {
        if (ok) inflateEnd(&zs);
    }
    inflater(const inflater &) = delete;
    inflater &operator=(const inflater &) = delete;
};

bool plausible_header(const unsigned char *p)
{
    return p[0] == 0x1f && p[1] == 0x8b && p[2] == 8 && (p[3] & 0xe0) == 0;
}

// The first offset in [from, n) where a plausible member head begins whose
// four bytes are among the `avail` bytes of `p`; n when there is none.
size_t next_header(const unsigned char *p, size_t from, size_t n, size_t avail)
{
    while (from < n) {
        const auto *hit = static_cast<const unsigned char *>(memchr(p + from, 0x1f, n - from));
        if (hit == nullptr) return n;
        const size_t at = static_cast<size_t>(hit - p);
        if (at + 4 <= avail && plausible_header(hit)) return at;
        from = at + 1;
    }
    return n;
}

// Members decoded one after the other from `at` on: those being read, or a
// candidate's.
struct member_run {
    std::unique_ptr<inflater> z;
    uint64_t at = 0;      // where the first member begins
    uint64_t cur_at = 0;  // where the member being decoded begins
    unsigned whole = 0;   // members decoded whole
    std::string done;     // their text (a candidate's: what is read goes out at once)
    std::string held;     // the text of the member being decoded, not checked yet
    bool failed = false;  // the member at cur_at does not decode
    bool dead = false;    // a candidate given up
    std::string why;      // zlib's word on the failure
};

// Feeds the text of the members of a gzip file into `emit`, reading the file
// once from front to back. A member that does not decode is reported and its
// text left out; reading goes on at the next place where a whole member
// decodes. A member cut short at the end gives the text it holds.
class member_reader {
public:
    member_reader(const std::string &label, uint64_t from, emit_fn emit, void *ctx, lost_fn lost)
        : label_(label), emit_(emit), ctx_(ctx), lost_(lost), pos_(from)
    {
        line_ = new_run();
    }

    // Reads `r` up to `limit`; the offset reached.
    uint64_t read(file_reader *r, uint64_t limit)
    {
        if (!line_) {
            complain("%s: cannot set up the gzip decoder", label_.c_str());
            return pos_;
        }
        static unsigned char buf[IN_BUF + 3];
        size_t kept = 0;  // bytes at the head of buf not fed yet: a member's head may begin there
        for (;;) {
            const uint64_t end = pos_ + kept;
            const size_t want = limit - end < IN_BUF ? static_cast<size_t>(limit - end) : IN_BUF;
            const ssize_t n = want == 0 ? 0 : r->read(buf + kept, want);
            if (n < 0) {
                read_error(end, r->error);
                return end;
            }
            if (n == 0) {
                take(buf, kept, kept);
                finish();
                return pos_;
            }
            const size_t have = kept + static_cast<size_t>(n);
            const size_t now = have > 3 ? have - 3 : 0;
            take(buf, now, have);
            memmove(buf, buf + now, have - now);
            kept = have - now;
        }
    }

private:
    std::unique_ptr<member_run> new_run()
    {
        auto m = std::make_unique<member_run>();
        if (pool_.empty()) {
            m->z = std::make_unique<inflater>();
            if (!m->z->ok) return nullptr;
        } else {
            m->z = std::move(pool_.back());
            pool_.pop_back();
            inflateReset(&m->z->zs);
        }
        m->at = m->cur_at = pos_;
        return m;
    }

    void retire(std::unique_ptr<member_run> m)
    {
        if (m && m->z) pool_.push_back(std::move(m->z));
    }

    // The first n of the `avail` bytes at p, which begin at pos_: each place
    // that looks like a member's head gets a candidate.
    void take(const unsigned char *p, size_t n, size_t avail)
    {
        size_t fed = 0;
        for (size_t scan = 0;; scan = fed + 1) {
            const size_t at = next_header(p, scan, n, avail);
            advance(p + fed, at - fed);
            fed = at;
            if (at >= n) return;
            add_candidate();
        }
    }

    void add_candidate()
    {
        if (line_ ? pos_ <= line_->cur_at : pos_ <= damaged_at_)
            return;  // a member already decoded from there
        if (cands_.size() >= MAX_TRIALS) {
            // Only a crafted file has that many at once. The oldest that has
            // not decoded a whole member makes room: a member that follows
            // garbage is the newest.
            const auto oldest =
                std::find_if(cands_.begin(), cands_.end(), [](const auto &c) { return c->whole == 0; });
            if (oldest == cands_.end()) return;
            retire(std::move(*oldest));
            cands_.erase(oldest);
        }
        if (auto m = new_run()) cands_.push_back(std::move(m));
    }

    // Feeds n bytes to every decoder.
    void advance(const unsigned char *p, size_t n)
    {
        if (n == 0) return;
        if (line_ && !feed(*line_, p, n)) line_failed();
        std::array<member_run *, MAX_TRIALS> order{};
        size_t count = 0;
        for (const auto &c : cands_) order[count++] = c.get();
        for (size_t i = 0; i < count; i++) {
            member_run *m = order[i];
            if (m->dead || m->failed || feed(*m, p, n)) continue;
            if (m == line_.get()) {
                line_failed();
            } else if (m->whole == 0) {
                m->dead = true;
            } else {
                pool_.push_back(std::move(m->z));  // its whole members stand
            }
        }
        pos_ += n;
        sweep();
        while (!line_ && !cands_.empty() && cands_.front()->whole > 0) {
            promote(*cands_.front());
            sweep();
        }
    }

    // Decodes n more bytes of m's members; false when its member does not decode.
    bool feed(member_run &m, const unsigned char *p, size_t n)
    {
        static unsigned char out[TEXT_BUF];
        z_stream &zs = m.z->zs;
        zs.next_in = const_cast<unsigned char *>(p);
        zs.avail_in = static_cast<uInt>(n);
        for (;;) {
            zs.next_out = out;
            zs.avail_out = sizeof out;
            const int rc = inflate(&zs, Z_NO_FLUSH);
            text(m, out, sizeof out - zs.avail_out);
            if (m.dead) return true;
            const uint64_t at = pos_ + (n - zs.avail_in);
            if (rc == Z_STREAM_END) {
                member_whole(m, at);
                inflateReset(&zs);
                if (zs.avail_in == 0) return true;
                continue;
            }
            if (rc == Z_OK && zs.avail_out == 0) continue;  // more text waits
            if ((rc == Z_OK || rc == Z_BUF_ERROR) && zs.avail_in == 0) return true;
            if (rc == Z_OK) continue;
            m.failed = true;
            m.why = zs.msg != nullptr ? zs.msg : "error " + std::to_string(rc);
            return false;
        }
    }

    void text(member_run &m, const unsigned char *p, size_t n)
    {
        if (n == 0) return;
        const char *t = reinterpret_cast<const char *>(p);
        if (&m == line_.get() && streaming_) {
            emit_(ctx_, t, n);
            return;
        }
        m.held.append(t, n);
        if (&m == line_.get()) {
            if (m.held.size() > MEMBER_HOLD) {
                release(m);
                streaming_ = true;
            }
        } else if (m.done.size() + m.held.size() > TRIAL_HOLD) {
            // The first candidate after a damaged member goes on as the one
            // read; any other is given up.
            if (!line_ && lead() == &m)
                promote(m);
            else
                m.dead = true;
        }
    }

    // The first candidate still in the running.
    member_run *lead() const
    {
        for (const auto &c : cands_)
            if (c && !c->dead) return c.get();
        return nullptr;
    }

    void release(member_run &m)
    {
        if (!m.held.empty()) emit_(ctx_, m.held.data(), m.held.size());
        m.held.clear();
    }

    void member_whole(member_run &m, uint64_t end)
    {
        m.cur_at = end;
        if (&m != line_.get()) {
            m.done += m.held;
            m.held.clear();
            m.whole++;
            return;
        }
        release(m);
        streaming_ = false;
        member_no_++;
        for (const auto &c : cands_)  // inside the member
            if (c && c->at <= end) c->dead = true;
    }

    void line_failed()
    {
        damaged_no_ = member_no_;
        damaged_at_ = line_->cur_at;
        damaged_why_ =
            line_->why + (streaming_ ? "; its text up to there was printed" : "; its text is left out");
        streaming_ = false;
        retire(std::move(line_));
        lost_(ctx_);
    }

    // The candidate m, the first one, is read on from here. Those it spans
    // are given up (swept later: a candidate may be being fed).
    void promote(member_run &m)
    {
        complain("%s: member %u (at byte %" PRIu64 ") does not decode (%s); reading goes on at byte %" PRIu64,
                 label_.c_str(), damaged_no_, damaged_at_, damaged_why_.c_str(), m.at);
        member_no_ = damaged_no_ + 1 + m.whole;
        if (!m.done.empty()) emit_(ctx_, m.done.data(), m.done.size());
        m.done.clear();
        for (auto &c : cands_) {
            if (c.get() == &m)
                line_ = std::move(c);
            else if (c && c->at <= m.cur_at)  // inside its whole members
                c->dead = true;
        }
        if (line_->failed) line_failed();
    }

    void sweep()
    {
        for (auto &c : cands_)
            if (c && c->dead) retire(std::move(c));
        cands_.erase(std::remove(cands_.begin(), cands_.end(), nullptr), cands_.end());
    }

    void finish()
    {
        for (;;) {
            if (line_) {
                if (line_->cur_at < pos_) {
                    complain("%s: member %u (at byte %" PRIu64
                             ") is cut short; the %zu bytes of text it gave are "
                             "printed",
                             label_.c_str(), member_no_, line_->cur_at, line_->held.size());
                    release(*line_);
                    lost_(ctx_);
                }
                return;
            }
            // A candidate that did not get through a member has none whole.
            for (auto &c : cands_)
                if (c->whole == 0) c->dead = true;
            sweep();
            if (cands_.empty()) {
                complain("%s: member %u (at byte %" PRIu64 ") does not decode (%s); no later member decodes",
                         label_.c_str(), damaged_no_, damaged_at_, damaged_why_.c_str());
                return;
            }
            promote(*cands_.front());
            sweep();
        }
    }

    void read_error(uint64_t at, const std::string &error)
    {
        if (line_)
            release(*line_);
        else
            complain("%s: member %u (at byte %" PRIu64 ") does not decode (%s)", label_.c_str(), damaged_no_,
                     damaged_at_, damaged_why_.c_str());
        complain("%s: read error at byte %" PRIu64 ": %s", label_.c_str(), at, error.c_str());
        lost_(ctx_);
    }

    const std::string &label_;
    emit_fn emit_;
    void *ctx_;
    lost_fn lost_;
    uint64_t pos_;                                    // offset of the next byte to decode
    std::unique_ptr<member_run> line_;                // the members being read; none after a damaged one
    std::vector<std::unique_ptr<member_run>> cands_;  // candidates, in the order of their offsets
    std::vector<std::unique_ptr<inflater>> pool_;     // decoders to use again
    bool streaming_ = false;                          // the member read outgrew the hold
    unsigned member_no_ = 1;
    unsigned damaged_no_ = 0;  // the last member that did not decode
    uint64_t damaged_at_ = 0;
    std::string damaged_why_;
};

}  // namespace

uint64_t read_members(file_reader *r, const std::string &label, uint64_t from, uint64_t limit, emit_fn emit,
                      void *ctx, lost_fn lost)
{
    member_reader mr(label, from, emit, ctx, lost);
    return mr.read(r, limit);
}

}  // namespace vexlog
