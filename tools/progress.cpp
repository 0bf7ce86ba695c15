// A running count on stderr for long work, shown only on a terminal.
#include <unistd.h>

#include <chrono>

#include "tool.h"

namespace kxtool {

double now_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

Progress::Progress(const char* what, bool quiet) : what_(what), on_(!quiet && isatty(STDERR_FILENO) == 1) {
    last_ = now_seconds();
}

Progress::~Progress() { done(); }

void Progress::tick(uint64_t count) {
    if (!on_ || count < next_check_) return;
    next_check_ = count + 1024;  // look at the clock now and then only
    const double t = now_seconds();
    if (t - last_ < 0.2) return;
    last_ = t;
    std::fprintf(stderr, "\r%s: %llu entries", what_, static_cast<unsigned long long>(count));
    std::fflush(stderr);
    shown_ = true;
}

void Progress::done() {
    if (shown_) {
        // Clear the line so that what follows starts clean.
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
    }
    shown_ = false;
    on_ = false;
}

}  // namespace kxtool
