// A clock for tests: while it lives, the program's time is its time, and a bounded wait in
// which nothing happens passes its whole timeout at once, so that timeouts elapse without the
// real time they name.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "services/clock.h"

namespace wendrix::testing {

class VirtualClock final : public ClockSource {
 public:
  VirtualClock() { SetClockSource(this); }
  ~VirtualClock() override { SetClockSource(nullptr); }
  VirtualClock(const VirtualClock&) = delete;
  VirtualClock& operator=(const VirtualClock&) = delete;

  std::int64_t NowMs() override { return now_; }
  // Looks at the descriptors for at most a real millisecond; when nothing came, the clock moves
  // on by timeout_ms. An unbounded wait stays a real one.
  int Poll(pollfd* fds, nfds_t count, int timeout_ms) override {
    if (timeout_ms < 0) return poll(fds, count, -1);
    const int rc = poll(fds, count, std::min(timeout_ms, 1));
    if (rc == 0) now_ += timeout_ms;
    return rc;
  }

 private:
  std::atomic<std::int64_t> now_{1'000'000};
};

}  // namespace wendrix::testing
