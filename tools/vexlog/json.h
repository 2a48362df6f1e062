// Output: stdout, and JSON's strings and numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

namespace vexlog {

void put(const char *p, size_t n);
void put(std::string_view s);

// A JSON string written in pieces, however long: a character split between
// two pieces stays whole.
class json_string {
public:
    void open()
    {
        putc('"', stdout);
        held_ = 0;
    }
    void add(const char *p, size_t n);
    void add(std::string_view s) { add(s.data(), s.size()); }
    void close();

private:
    unsigned char head_[4];  // the beginning of a character cut off by the end of a piece
    size_t held_ = 0;
};

extern json_string json_out;  // one string is written at a time

// A JSON string, with the bytes that are not UTF-8 as \u00XX.
void put_json_string(std::string_view s);

// A time as a JSON number: without the zeros that may lead it.
void put_json_number(std::string_view t);

// A kernel log line's fields: ,"priority":N (level -1: none), ,"uptime":T
// (when stamped) and ,"message":"...".
void put_json_kernel(int level, std::string_view uptime, std::string_view msg);

// A startup count, null for text whose start marker is missing.
void put_json_start(int64_t start);

}  // namespace vexlog
