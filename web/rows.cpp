// The rows that started in the frames of the last renders, for callers
// that cannot hand the module a function (JavaScript): the library's row
// callback writes them into a static log that the caller reads and empties.
#include <cstdint>

#include "zindle.h"

namespace {

struct Row {
    std::uint64_t frame;
    std::int32_t order, pattern, row, unused;
};

// Layout read by the package's scripts: count, rows lost to a full log,
// then the rows. 64 is more than the rows of any 2048 frames.
struct RowLog {
    std::uint32_t count;
    std::uint32_t lost;
    Row rows[64];
};

RowLog row_log;

void record(void*, std::uint64_t frame, int order, int pattern, int row) {
    if (row_log.count == sizeof row_log.rows / sizeof row_log.rows[0]) {
        ++row_log.lost;
        return;
    }
    row_log.rows[row_log.count++] = Row{frame, order, pattern, row, 0};
}

}  // namespace

// follow 1 starts logging (the log emptied), 0 stops it; returns the log.
extern "C" void* zindle_row_log(int follow) {
    row_log.count = 0;
    row_log.lost = 0;
    zindle_set_row_callback(follow != 0 ? record : nullptr, nullptr);
    return &row_log;
}
