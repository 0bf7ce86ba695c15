// A running count on stderr for long work, shown only on a terminal.
#include <unistd.h>

#include <chrono>

#include "tool.h"

namespace kxtool {

double now_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

Progress::Progress(const char* what, bool quiet, const char* unit)
    : what_(what), unit_(unit), on_(!quiet && isatty(STDERR_FILENO) == 1) {
    last_ = now_seconds();
}

Progress::~Progress() { done(); }

bool Progress::due() {
    const double t = now_seconds();
    if (t - last_ < 0.2) return false;
    last_ = t;
    return true;
}

void Progress::tick(uint64_t count) {
    if (!on_ || count < next_check_) return;
    next_check_ = count + 1024;  // look at the clock now and then only
    if (!due()) return;
    std::fprintf(stderr, "\r%s: %llu %s", what_, static_cast<unsigned long long>(count), unit_);
    std::fflush(stderr);
    shown_ = true;
}

void Progress::share(double done) {
    if (!on_ || !due()) return;
    std::fprintf(stderr, "\r\033[K%s: %.0f%%", what_, 100.0 * (done < 0 ? 0 : done > 1 ? 1 : done));
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
