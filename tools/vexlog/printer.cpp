// The printer.
#include "printer.h"

#include "clock.h"
#include "filters.h"
#include "json.h"

#include <ctime>

namespace vexlog {

void printer::marker(int64_t)
{
    end_line();
    in_marker_ = 2;
}

void printer::line(int64_t start, const char *p, size_t n)
{
    const bool ends = n > 0 && p[n - 1] == '\n';
    const rest r = rest_ == rest::none ? first_piece(start, p, n) : go_on(p, n);
    rest_ = ends ? rest::none : r;
}

void printer::end()
{
    end_line();
    end_entry();
}

void printer::pause()
{
    if (rest_ == rest::none) end_entry();
    // Between two reads (the daemon log is read with the same buffers).
    if (any_line_ && cur_facts_ == nullptr && o_.follow) cur_facts_ = refresh_clock(cur_start_);
}

printer::rest printer::first_piece(int64_t start, const char *p, size_t n)
{
    const bool is_marker = in_marker_ > 0;
    if (is_marker && in_marker_-- == 2) held_marker_.clear();
    if (!o_.starts.contains(start)) {
        pass_ = false;
        return rest::drop;
    }
    if (!is_marker) note_time(start, p, n);
    if (start == UNKNOWN_START && !unknown_noted_) {
        unknown_noted_ = true;
        complain("%s: text whose start marker is missing (before the first marker, or after text that "
                 "could not be read) is printed with the starts",
                 logs[kind_].what);
    }
    if (is_marker) {
        end_entry();
        if (!filtered_ && !o_.json)
            put(p, n);
        else if (show_markers_ && !o_.json)
            held_marker_.append(p, n);
        pass_ = false;
        return rest::drop;
    }
    if (kind_ == LOG_MAIN && !filtered_ && !o_.json) {
        emit(p, n);
        return rest::raw;
    }
    if (kind_ == LOG_MAIN) return main_line(start, p, n);
    if (o_.timed() && logs[kind_].stamped) {
        // A line without a stamp goes with the line before it.
        const double t = stamp_seconds(line_time(p, n));
        if (t >= 0) in_time_ = in_window(o_, t) && in_wall_window();
        if (!in_time_) return rest::drop;
    }
    if (o_.kernel_level >= 0 && kind_ == LOG_KERNEL) {
        // A line without "<N>" goes with the line before it.
        kernel_entry k;
        if (parse_kernel(p, n, &k) && k.level >= 0) level_ok_ = k.level <= o_.kernel_level;
        if (!level_ok_) return rest::drop;
    }
    if (!holds_pattern(p, n) || !count_entry()) return rest::drop;
    if (o_.json) return put_json_line(start, p, n);
    emit(p, n);
    return rest::raw;
}

printer::rest printer::main_line(int64_t start, const char *p, size_t n)
{
    main_entry e;
    if (parse_main(p, n, &e)) {
        end_entry();
        pass_ = main_passes(o_, e) && in_wall_window() && count_entry();
        if (pass_ && o_.json) {
            begin_entry(start, e, n > 0 && p[n - 1] == '\n');
            return rest::json_message;
        }
        if (!pass_) return rest::drop;
        emit(p, n);
        return rest::raw;
    }
    // A line of a message that held line feeds goes with its entry.
    if (o_.json && open_) {
        message_text(p, n);
        return rest::json_message;
    }
    if (pass_ && !o_.json) {
        emit(p, n);
        return rest::raw;
    }
    if (o_.json && !filtered_) return put_json_line(start, p, n);  // not an entry: kept as a line
    return rest::drop;
}

printer::rest printer::go_on(const char *p, size_t n)
{
    switch (rest_) {
    case rest::raw: put(p, n); break;
    case rest::json_line: json_line_text(p, n); break;
    case rest::json_message: message_text(p, n); break;
    case rest::none:
    case rest::drop: break;
    }
    return rest_;
}

void printer::end_line()
{
    if (rest_ == rest::json_line) {
        json_out.close();
        fputs("}\n", stdout);
    }
    rest_ = rest::none;
}

void printer::emit(const char *p, size_t n)
{
    if (!held_marker_.empty()) {
        put(held_marker_);
        held_marker_.clear();
    }
    if (o_.wall) {
        const std::string w = line_wall_ == NO_TIME ? "-" : fmt_wall(line_wall_);
        printf("%-26s ", w.c_str());
    }
    put(p, n);
}

void printer::note_time(int64_t start, const char *p, size_t n)
{
    if (!any_line_ || start != cur_start_) {
        any_line_ = true;
        cur_start_ = start;
        line_wall_ = NO_TIME;
        retry_ms_ = 0;
        cur_facts_ = find_clock(start);
        if (cur_facts_ == nullptr && start != UNKNOWN_START && (o_.wall || o_.walled()) && !o_.follow &&
            !clockless_noted_) {
            clockless_noted_ = true;
            note("start %s has no clock line in the daemon log: its times stay relative%s",
                 fmt_count(start).c_str(), o_.walled() ? ", and outside any wall-clock --since/--until" : "");
        }
    }
    if (cur_facts_ == nullptr || !logs[kind_].stamped) return;
    const int64_t t = stamp_us(line_time(p, n));
    if (t != NO_TIME) line_wall_ = wall_of(cur_facts_->clock, logs[kind_], t);
}

const start_facts *printer::find_clock(int64_t start) const
{
    if (o_.facts == nullptr) return nullptr;
    const auto f = o_.facts->find(start);
    return f != o_.facts->end() && f->second.clock.known ? &f->second : nullptr;
}

// Following, a start begun meanwhile writes its clock line just after its
// first lines: the daemon log is read again for it, once a second at most,
// and its lines from then on have their wall clock.
const start_facts *printer::refresh_clock(int64_t start)
{
    if (o_.facts == nullptr || o_.src == nullptr || start == UNKNOWN_START) return nullptr;
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t ms = static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    if (ms < retry_ms_) return nullptr;
    retry_ms_ = ms + 1000;
    *o_.facts = read_facts(*o_.src);
    return find_clock(start);
}

bool printer::in_wall_window() const
{
    if (!o_.walled()) return true;
    return line_wall_ != NO_TIME && !(o_.since_wall != NO_TIME && line_wall_ < o_.since_wall) &&
           !(o_.until_wall != NO_TIME && line_wall_ > o_.until_wall);
}

// The fields every JSON line begins with: the source, the start, the wall clock.
void printer::put_json_head(int64_t start)
{
    fputs("{\"start\":", stdout);
    put_json_start(start);
    fputs(",\"source\":", stdout);
    put_json_string(o_.source_name);
    if (line_wall_ != NO_TIME) printf(",\"wall\":\"%s\"", fmt_wall(line_wall_, true).c_str());
}

printer::rest printer::put_json_line(int64_t start, const char *p, size_t n)
{
    put_json_head(start);
    const std::string_view t = logs[kind_].stamped ? line_time(p, n) : std::string_view{};
    if (!t.empty()) {
        fputs(",\"time\":", stdout);
        put_json_number(t);
    }
    kernel_entry k;
    if (kind_ == LOG_KERNEL && n > 0 && p[n - 1] == '\n' && parse_kernel(p, n, &k)) {
        put_json_kernel(k.level, k.time, k.msg);
    }
    fputs(",\"line\":", stdout);
    json_out.open();
    json_line_text(p, n);
    return rest::json_line;
}

void printer::json_line_text(const char *p, size_t n)
{
    const bool ends = n > 0 && p[n - 1] == '\n';
    json_out.add(p, ends ? n - 1 : n);
    if (!ends) return;
    json_out.close();
    fputs("}\n", stdout);
}

void printer::begin_entry(int64_t start, const main_entry &e, bool ends)
{
    put_json_head(start);
    fputs(",\"time\":", stdout);
    put_json_number(e.time);
    fputs(",\"priority\":", stdout);
    put_json_string({&e.pri, 1});
    fputs(",\"tag\":", stdout);
    put_json_string(e.tag);
    fputs(",\"pid\":", stdout);
    put(e.pid);
    fputs(",\"message\":", stdout);
    json_out.open();
    json_out.add(e.msg);
    open_ = true;
    lf_held_ = ends;
}

void printer::message_text(const char *p, size_t n)
{
    if (lf_held_) json_out.add("\n", 1);
    lf_held_ = n > 0 && p[n - 1] == '\n';
    json_out.add(p, lf_held_ ? n - 1 : n);
}

void printer::end_entry()
{
    if (!open_) return;
    json_out.close();
    fputs("}\n", stdout);
    open_ = lf_held_ = false;
}

}  // namespace vexlog
