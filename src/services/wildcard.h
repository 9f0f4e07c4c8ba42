// Matching of listing patterns against entry names, with the DOS readings of "*", "?" and "."
// that patterns carried over from the original platform rely on.
#pragma once

#include <string_view>

namespace wendrix {

// True when name matches pattern. ASCII letters match without regard to case.
bool WildcardMatch(std::string_view pattern, std::string_view name);

}  // namespace wendrix
