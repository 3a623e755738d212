// An independent model of hexadecimal text extraction into an unsigned
// integer of type T, as a stream switched to hexadecimal base reads it:
// leading white space skipped, an optional sign (a minus negates modulo the
// width), an optional 0x/0X prefix, then digits up to the first non-digit.
// Nothing when no digit follows or the magnitude does not fit T.
#pragma once

#include <limits>
#include <optional>
#include <string>

namespace reference {

inline bool isStreamSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

inline int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

template <typename T>
std::optional<T> parseHex(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && isStreamSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) i += 2;
  bool digits = false, overflow = false;
  T value = 0;
  for (; i < text.size() && hexDigit(text[i]) >= 0; ++i) {
    const T digit = static_cast<T>(hexDigit(text[i]));
    digits = true;
    if (value > (std::numeric_limits<T>::max() - digit) / 16) overflow = true;
    value = static_cast<T>(value * 16 + digit);
  }
  if (!digits || overflow) return std::nullopt;
  return negative ? static_cast<T>(-value) : value;
}

}  // namespace reference
