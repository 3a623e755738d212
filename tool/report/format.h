// What the renderers of p2ptool --status share in formatting a status.
#pragma once

#include <string>
#include <vector>

#include "tool/report/model.h"

// What the report says about a fact that could not be read: the reason as
// root, and "run as root" for any other user.
std::string unknownReason(const Status& status, const std::string& reason);

// The kernel parameter that keeps ACS redirection off on `ports` ("" for none).
std::string acsRedirParameter(const std::vector<std::string>& ports);

// The words with `separator` between them.
std::string join(const std::vector<std::string>& words, const char* separator);

// Bytes outside printable ASCII as \xNN, so that no file's content reaches a
// terminal raw.
std::string printable(const std::string& text);

// Text as a label value of the Prometheus text format, without its quotes:
// backslash, double quote and line feed escaped (\\, \", \n), bytes that are
// not UTF-8 replaced by U+FFFD, so that no value can break a line.
std::string labelValue(const std::string& text);
