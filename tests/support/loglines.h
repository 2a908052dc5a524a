// The loggers' lines as the tests read them: "dd/mm/yyyy hh:mm:ss.mmm<TAB>LEVEL<TAB>TEXT<CR><LF>"
// taken apart, and the lines a test expects, made by level.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

namespace testsupport {

struct LogLine {
  std::string level;  // as written, "Info " padded to five; empty for a level outside the known ones
  std::string text;
  std::string stamp = {};  // "dd/mm/yyyy hh:mm:ss.mmm"
  // The lines a test expects have no stamp: a line is its level and text.
  bool operator==(const LogLine& o) const { return level == o.level && text == o.text; }
};
void PrintTo(const LogLine& l, std::ostream* os);
LogLine Error(const std::string& text);
LogLine Info(const std::string& text);
LogLine Debug(const std::string& text);
LogLine Trace(const std::string& text);

// Splits logger output into its lines at CR LF: a text may hold a line feed of its own
// ("Starting processing\n"), never a carriage return. Anything else, a last line without its
// CR LF included, fails the test and is left out.
std::vector<LogLine> ParseLog(const std::string& raw);

std::vector<std::string> Texts(const std::vector<LogLine>& lines);
size_t CountText(const std::vector<LogLine>& lines, const std::string& text);

}  // namespace testsupport
