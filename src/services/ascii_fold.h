// The one case fold of the program: ASCII letters only, so that names in any encoding compare
// byte for byte everywhere else.
#pragma once

namespace wendrix {

constexpr char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace wendrix
