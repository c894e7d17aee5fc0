#include "PointLines.h"

#include <charconv>
#include <cmath>

namespace point_lines {

// A token as a message may show it: short, and only printable ASCII.
std::string Quoted(std::string_view token) {
  constexpr std::size_t kShown = 24;
  std::string s = "\"";
  for (const char c : token.substr(0, kShown))
    s.push_back(static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F ? c
                                                                                               : '?');
  if (token.size() > kShown) s += "...";
  return s + "\"";
}

// The shortest text that reads back as v.
std::string Shortest(double v) {
  char buffer[32];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, v).ptr;
  return std::string(buffer, end);
}

// A number with an optional '+', nothing else; "" when it is one, else why not.
std::string ReadNumber(std::string_view token, double& value) {
  std::string_view digits = token;
  if (digits.size() > 1 && digits[0] == '+' && digits[1] != '+' && digits[1] != '-')
    digits.remove_prefix(1);
  const char* last = digits.data() + digits.size();
  const auto [ptr, ec] = std::from_chars(digits.data(), last, value);
  if (ec == std::errc::result_out_of_range) return Quoted(token) + " is out of range";
  if (ec != std::errc() || ptr != last) return Quoted(token) + " is not a number";
  if (!std::isfinite(value)) return Quoted(token) + " is not a finite number";
  return {};
}

// Splits a point line into its numbers (up to 3 kept, count says how many there were).
std::string ReadFields(std::string_view line, double (&values)[3], int& count) {
  count = 0;
  std::size_t i = 0;
  // ' ', ',' or ';' once known: one kind per line, so that "1000 -3,2" (a decimal comma) is
  // refused rather than read as three numbers.
  char kind = 0, separator = 0;
  for (;;) {
    while (i < line.size() && IsSpace(line[i])) ++i;
    if (i == line.size()) {
      if (separator != ' ' && count > 0) return "a separator ends the line";
      return {};
    }
    if (IsSeparator(line[i])) return "an empty field between separators";
    if (count > 0) {
      if (kind != 0 && kind != separator)
        return "separators of two kinds between the numbers (a decimal comma?)";
      kind = separator;
    }
    const std::size_t start = i;
    while (i < line.size() && !IsSpace(line[i]) && !IsSeparator(line[i])) ++i;
    if (count == 3) return "more than 3 numbers (frequency, dB and degrees)";
    if (std::string why = ReadNumber(line.substr(start, i - start), values[count]); !why.empty())
      return why;
    ++count;
    while (i < line.size() && IsSpace(line[i])) ++i;
    separator = i < line.size() && IsSeparator(line[i]) ? line[i++] : ' ';
  }
}

}  // namespace point_lines
