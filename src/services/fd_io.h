// Whole runs of bytes on a descriptor, through interrupted calls and short counts.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string_view>

namespace wendrix {

enum class WhenFull {
  kWait,  // a non-blocking descriptor that takes nothing more is waited for (poll)
  kStop,  // the write stops there: what the descriptor took is counted
};

// Writes data to fd. The count written, which is short of data.size() only when fd was full
// and when_full says kStop; -1 when a write failed (errno tells why; EIO for a write that took
// nothing).
ssize_t WriteAll(int fd, std::string_view data, WhenFull when_full = WhenFull::kWait);

// Reads into buffer until count bytes are there, the input ends (*at_end is then set) or a
// read fails; the count read.
std::size_t ReadAll(int fd, char* buffer, std::size_t count, bool* at_end = nullptr);

}  // namespace wendrix
