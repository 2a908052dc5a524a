#include "loglines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

namespace testsupport {

void PrintTo(const LogLine& l, std::ostream* os) { *os << "[" << l.level << "] " << testing::PrintToString(l.text); }

LogLine Error(const std::string& text) { return {"Error", text}; }
LogLine Info(const std::string& text) { return {"Info ", text}; }
LogLine Debug(const std::string& text) { return {"Debug", text}; }
LogLine Trace(const std::string& text) { return {"Trace", text}; }

namespace {

bool IsStamp(const std::string& line) {
  static const char kShape[] = "00/00/0000 00:00:00.000";
  if (line.size() < sizeof(kShape) - 1) return false;
  for (size_t i = 0; i + 1 < sizeof(kShape); ++i)
    if (kShape[i] == '0' ? !isdigit(static_cast<unsigned char>(line[i])) : line[i] != kShape[i]) return false;
  return true;
}

}  // namespace

std::vector<LogLine> ParseLog(const std::string& raw) {
  // The logger's level names, and nothing for a level outside them.
  static const std::string kLevels[] = {"Off  ", "Error", "Info ", "Debug", "Trace", ""};
  const size_t kStamp = 23;
  std::vector<LogLine> out;
  for (size_t pos = 0; pos < raw.size();) {
    size_t end = raw.find("\r\n", pos);
    if (end == std::string::npos) {
      ADD_FAILURE() << "log line without CR LF: '" << raw.substr(pos) << "'";
      break;
    }
    const std::string line = raw.substr(pos, end - pos);
    pos = end + 2;
    const size_t tab = line.find('\t', kStamp + 1);
    const std::string level = tab == std::string::npos ? "" : line.substr(kStamp + 1, tab - kStamp - 1);
    if (!IsStamp(line) || line[kStamp] != '\t' || tab == std::string::npos ||
        std::find(std::begin(kLevels), std::end(kLevels), level) == std::end(kLevels) ||
        line.find('\r') != std::string::npos) {
      ADD_FAILURE() << "not a log line: '" << line << "'";
      continue;
    }
    out.push_back({level, line.substr(tab + 1), line.substr(0, kStamp)});
  }
  return out;
}

std::vector<std::string> Texts(const std::vector<LogLine>& lines) {
  std::vector<std::string> texts;
  for (const LogLine& l : lines) texts.push_back(l.text);
  return texts;
}

size_t CountText(const std::vector<LogLine>& lines, const std::string& text) {
  return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const LogLine& l) { return l.text == text; }));
}

}  // namespace testsupport
