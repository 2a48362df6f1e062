// The printer: the lines of a log as chosen, raw or as JSON.
#pragma once

#include "vexlog.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace vexlog {

struct main_entry;

// Prints the lines of a log as the options choose them.
class printer final : public line_sink {
public:
    printer(const options &o, int kind) : o_(o), kind_(kind)
    {
        filtered_ = !o.specs.empty() || o.has_pid || !o.patterns.empty() || !o.texts.empty() || o.timed() ||
                    o.kernel_level >= 0 || o.last_entries > 0;
        // Markers separate the starts: with a filter, only before a start's
        // first line shown, and not at all when one start is chosen.
        show_markers_ = !filtered_ || o.starts.all || o.starts.lo != o.starts.hi;
    }

    void marker(int64_t) override;

    // A line, or a piece of one: a line over a megabyte comes in pieces, and
    // the rest of a line goes where its first piece went.
    void line(int64_t start, const char *p, size_t n) override;

    void end() override;
    void pause() override;

    // The entries that passed the filters (those left out by skip_entries too).
    uint64_t entries() const { return entries_; }

private:
    // Where the rest of a line goes that came in part.
    enum class rest { none, drop, raw, json_line, json_message };

    rest first_piece(int64_t start, const char *p, size_t n);
    rest main_line(int64_t start, const char *p, size_t n);
    rest go_on(const char *p, size_t n);

    // A line that came in part ends here (a marker, or the end of the text).
    void end_line();

    // A line shown, after the marker of its start when that is still held.
    void emit(const char *p, size_t n);

    rest put_json_line(int64_t start, const char *p, size_t n);

    // Text of a JSON line object; its line feed closes it.
    void json_line_text(const char *p, size_t n);

    // One JSON line per entry, written as it comes: its continuation lines
    // go into its message, the line feed that ends the entry does not.
    void begin_entry(int64_t start, const main_entry &e, bool ends);

    void message_text(const char *p, size_t n);
    void end_entry();

    // The time of a line: its wall clock, from its own stamp or, without
    // one, that of the line before in its start.
    void note_time(int64_t start, const char *p, size_t n);
    const start_facts *find_clock(int64_t start) const;
    const start_facts *refresh_clock(int64_t start);
    bool in_wall_window() const;
    // One more entry passed: false when it is one of those left out.
    bool count_entry() { return ++entries_ > o_.skip_entries; }
    void put_json_head(int64_t start);

    const options &o_;
    bool any_line_ = false;
    int64_t cur_start_ = UNKNOWN_START;
    const start_facts *cur_facts_ = nullptr;  // of cur_start_, when known
    int64_t line_wall_ = NO_TIME;
    bool clockless_noted_ = false;
    int64_t retry_ms_ = 0;  // following: when the daemon log may be read again for a clock line
    int kind_;
    bool filtered_ = false, show_markers_ = true;
    std::string held_marker_;  // the marker of the current start, not shown yet
    int in_marker_ = 0;
    bool in_time_ = true;   // the last stamped line was within --since/--until
    bool level_ok_ = true;  // the last kernel line with a level was within -p
    uint64_t entries_ = 0;  // entries that passed the filters
    bool pass_ = false;     // the last entry passed its filters
    bool unknown_noted_ = false;
    bool open_ = false;     // a JSON entry waits for its continuation lines
    bool lf_held_ = false;  // the line feed of its last line, written when another line follows
    rest rest_ = rest::none;
};

}  // namespace vexlog
