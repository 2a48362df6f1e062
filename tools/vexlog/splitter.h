// The start splitter: cuts a log's text into lines and the lines into the
// daemon's starts, by their startup markers.
#pragma once

#include "vexlog.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace vexlog {

// Cuts a log's text into lines and the lines into starts. The marker may
// follow text that did not end its line; that text stays with the start
// before. A run of over a megabyte without a line feed goes on in pieces.
class splitter {
public:
    explicit splitter(line_sink *out) : out_(out) {}

    void feed(const char *p, size_t n);

    // Text was lost here (a member that does not decode): what follows,
    // up to the next marker, cannot be put in a start.
    void lost()
    {
        flush();
        start_ = UNKNOWN_START;
    }

    // The end of the text; a partial line is handed on as it is.
    void flush();

    // Nothing more for a while (following): an entry waiting for its
    // continuation lines goes out; a partial line stays.
    void idle() { out_->pause(); }

private:
    static constexpr size_t MAX_PARTIAL = 1 << 20;

    void whole_line(const char *p, size_t n);

    line_sink *out_;
    int64_t start_ = UNKNOWN_START;
    std::string partial_;  // a line not ended yet
    std::string held_;     // a first marker line, waiting for the count line
};

}  // namespace vexlog
