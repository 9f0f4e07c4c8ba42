// The one clock behind every timeout and pace of the program: monotonic, in milliseconds.
#pragma once

#include <cstdint>

namespace wendrix {

// Milliseconds since an arbitrary fixed point; never goes back.
std::int64_t NowMs();

}  // namespace wendrix
