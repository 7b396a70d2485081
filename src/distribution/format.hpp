// Text forms of numbers shared by the distribution and result printers.
//
// Pure functions of their arguments; thread-safe; results are owned by the
// caller.
#pragma once

#include <string>

namespace quillon {

// The shortest decimal that reads back as the same double, always in plain
// positional notation: 1.0 -> "1", -0.0 -> "-0", 1e-7 -> "0.0000001",
// 1e21 -> "1000000000000000000000". NaN -> "NaN", infinities -> "inf" and
// "-inf".
std::string format_shortest(double value);
void append_shortest(std::string& out, double value);

// Fixed notation with exactly `decimals` digits after the point, correctly
// rounded from the exact binary value (ties to even): 0.03125 at 4 decimals
// is "0.0312". NaN -> "NaN", infinities -> "inf" and "-inf".
std::string format_fixed(double value, int decimals);
void append_fixed(std::string& out, double value, int decimals);

}  // namespace quillon
