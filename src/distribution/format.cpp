#include "distribution/format.hpp"

#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>

namespace quillon {

namespace {

// Returns true (and appends) for NaN and the infinities, which every form
// spells the same way.
bool append_special(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
    return true;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return true;
  }
  return false;
}

}  // namespace

void append_shortest(std::string& out, double value) {
  if (append_special(out, value)) return;
  // The shortest round-trip digits come out of to_chars in scientific form
  // ("-1.2345e+20"); lay them out positionally ourselves. (The positional
  // form of to_chars prints large integers exactly rather than shortest.)
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof(buf), value, std::chars_format::scientific);
  const std::string_view text(buf, static_cast<std::size_t>(res.ptr - buf));
  const std::size_t e_pos = text.find('e');
  std::string_view mantissa = text.substr(0, e_pos);
  std::string_view exp_text = text.substr(e_pos + 1);
  if (!exp_text.empty() && exp_text.front() == '+') exp_text.remove_prefix(1);
  int exponent = 0;
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
  if (!mantissa.empty() && mantissa.front() == '-') {
    out += '-';
    mantissa.remove_prefix(1);
  }
  std::string digits;
  for (const char c : mantissa) {
    if (c != '.') digits += c;
  }
  // value = 0.d1d2...dn * 10^(exponent + 1)
  const long point = static_cast<long>(exponent) + 1;
  const long n = static_cast<long>(digits.size());
  if (digits == "0") {
    out += '0';
  } else if (point >= n) {
    out += digits;
    out.append(static_cast<std::size_t>(point - n), '0');
  } else if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out += '.';
    out.append(digits, static_cast<std::size_t>(point));
  }
}

std::string format_shortest(double value) {
  std::string out;
  append_shortest(out, value);
  return out;
}

void append_fixed(std::string& out, double value, int decimals) {
  if (append_special(out, value)) return;
  if (decimals < 0) decimals = 0;
  // 309 integer digits at most, the sign, the point and the decimals.
  char buf[340];
  std::string heap;
  char* first = buf;
  char* last = buf + sizeof(buf);
  if (decimals > 20) {
    heap.resize(340 + static_cast<std::size_t>(decimals));
    first = heap.data();
    last = first + heap.size();
  }
  const auto res = std::to_chars(first, last, value, std::chars_format::fixed, decimals);
  out.append(first, res.ptr);
}

std::string format_fixed(double value, int decimals) {
  std::string out;
  append_fixed(out, value, decimals);
  return out;
}

}  // namespace quillon
