// libFuzzer target of the readers of a sound-card test's CSV report (laid beside a new one) and
// of a limits file: whatever they accept must hold its invariants and survive a round trip.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "CardReport.h"

namespace {

[[noreturn]] void Fault(const char* what) {
  std::fprintf(stderr, "card report: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string error;
  if (const std::optional<TCardReport> r = ParseCardReportCsv(text, &error)) {
    const std::vector<double>& hz = r->Result.CurveHz;
    for (std::size_t i = 0; i < hz.size(); ++i)
      if (!(hz[i] > 0) || (i > 0 && !(hz[i] > hz[i - 1]))) Fault("curve frequencies do not rise");
    if (r->Result.CurvedB[0].size() != hz.size() || r->Result.CurvedB[1].size() != hz.size())
      Fault("a curve's levels and frequencies differ in number");
    const std::optional<TCardReport> again = ParseCardReportCsv(CardReportCsv(*r), &error);
    if (!again || again->Result.Figures.size() != r->Result.Figures.size()) Fault("written report does not read back");
    for (std::size_t i = 0; i < r->Result.Figures.size(); ++i) {
      const TCardFigure &a = r->Result.Figures[i], &b = again->Result.Figures[i];
      const auto same = [](double x, double y) { return x == y || (std::isnan(x) && std::isnan(y)); };
      if (!same(a.Left, b.Left) || !same(a.Right, b.Right)) Fault("a figure changed on the way back");
    }
    (void)CardReportHtml({*r, *again});
  } else if (error.rfind("line ", 0) != 0) {
    Fault("a refusal that names no line");
  }
  error.clear();
  if (const auto limits = ParseCardLimits(text, &error)) {
    for (const TCardLimit& l : *limits)
      if (!(l.Min <= l.Max) || l.Channel < -1 || l.Channel > 1 || l.Key.empty()) Fault("a limit out of shape");
    (void)CheckCardLimits(TCardTestResult{}, *limits);
  } else if (error.rfind("line ", 0) != 0) {
    Fault("a limits refusal that names no line");
  }
  return 0;
}
