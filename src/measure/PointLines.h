// What the readers of text files of points (response files, calibration files) share: the
// lines' numbers and the words their refusals quote. Plain C++, no Qt, so the fuzz targets build
// each reader with this alone.
//
// Threads: any (pure functions).
#pragma once

#include <string>
#include <string_view>

namespace point_lines {

inline bool IsSpace(char c) { return c == ' ' || c == '\t'; }
inline bool IsSeparator(char c) { return c == ',' || c == ';'; }

// A token as a message may show it: in quotes, at most 24 characters, only printable ASCII.
std::string Quoted(std::string_view token);
// The shortest text that reads back as v.
std::string Shortest(double v);
// A number with an optional '+', nothing else; "" when it is one, else why not.
std::string ReadNumber(std::string_view token, double& value);
// A point line's numbers separated by spaces, tabs, commas or semicolons, one kind of separator
// per line (so that "1000 -3,2", a decimal comma, is refused); up to 3 kept, count says how many
// there were. "" or why the line is refused.
std::string ReadFields(std::string_view line, double (&values)[3], int& count);

}  // namespace point_lines
