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
