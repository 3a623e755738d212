#include "tool/report/format.h"

namespace {

constexpr const char* kRunAsRoot = "run as root";

}  // namespace

std::string unknownReason(const Status& status, const std::string& reason) {
  return status.as_root ? reason : kRunAsRoot;
}

std::string acsRedirParameter(const std::vector<std::string>& ports) {
  if (ports.empty()) return "";
  std::string parameter = "pci=disable_acs_redir=";
  for (size_t i = 0; i < ports.size(); ++i) parameter += (i ? ";" : "") + ports[i];
  return parameter;
}

std::string join(const std::vector<std::string>& words, const char* separator) {
  std::string text;
  for (const auto& word : words) text += (text.empty() ? "" : separator) + word;
  return text;
}

std::string printable(const std::string& text) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char c : text) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += kDigits[c >> 4];
      out += kDigits[c & 0xf];
    }
  }
  return out;
}

namespace {

constexpr const char* kReplacement = "\xef\xbf\xbd";  // U+FFFD in UTF-8

// The length of the well-formed UTF-8 sequence at text[at] (RFC 3629: no
// overlong form, no surrogate, nothing above U+10FFFF); 0 when none starts there.
size_t utf8Length(const std::string& text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  unsigned char low = 0x80, high = 0xbf;  // the bounds of the second byte
  size_t length = 0;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;
    if (lead == 0xed) high = 0x9f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;
  }
  if (length == 0 || at + length > text.size()) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if ((byte(at + i) & 0xc0) != 0x80) return 0;
  return length;
}

}  // namespace

std::string labelValue(const std::string& text) {
  std::string out;
  for (size_t at = 0; at < text.size();) {
    const size_t length = utf8Length(text, at);
    const char c = text[at];
    if (length == 0)
      out += kReplacement;
    else if (c == '\\' || c == '"')
      out += std::string("\\") + c;
    else if (c == '\n')
      out += "\\n";
    else
      out.append(text, at, length);
    at += length == 0 ? 1 : length;
  }
  return out;
}
