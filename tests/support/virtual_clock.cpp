#include "virtual_clock.h"

#include <algorithm>

namespace wendrix::testing {

VirtualClock::VirtualClock() { SetClockSource(this); }

VirtualClock::~VirtualClock() { SetClockSource(nullptr); }

int VirtualClock::Poll(pollfd* fds, nfds_t count, int timeout_ms) {
  if (timeout_ms < 0) return poll(fds, count, -1);
  const int rc = poll(fds, count, std::min(timeout_ms, 1));
  if (rc == 0) now_ += timeout_ms;
  return rc;
}

}  // namespace wendrix::testing
