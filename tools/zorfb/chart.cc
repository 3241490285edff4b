// The terminal chart of a singular-value spectrum.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "zorfb/zorfb.h"

namespace zor_feedback {
namespace cli {

namespace {

struct Column {
  std::size_t first;  // index range [first, last) of the values it shows
  std::size_t last;
};

bool positive(double v) { return v > 0.0 && std::isfinite(v); }

// How far below the smallest value a cut-off may lie and still be drawn.
constexpr double kCutoffReach = 100.0;

// A tick spacing of 1, 2 or 5 times a power of ten that gives at most about
// eight ticks over n values.
std::size_t tick_step(std::size_t n) {
  std::size_t step = 1;
  for (;;) {
    for (const std::size_t f : {1u, 2u, 5u})
      if (n / (step * f) <= 8) return step * f;
    step *= 10;
  }
}

std::string label(double v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%8.1e", v);
  return buf;
}

}  // namespace

std::string spectrum_chart(const std::vector<double>& values, const std::vector<bool>& used, double cutoff,
                           int height, int max_width) {
  const std::size_t k = values.size();
  if (k == 0) return "(no singular values)\n";
  height = std::max(height, 3);
  max_width = std::max(max_width, 8);

  // One column per value (widened for a few values), or per group of values.
  std::vector<Column> columns;
  int colw = 1;
  if (k <= static_cast<std::size_t>(max_width)) {
    colw = std::clamp(48 / static_cast<int>(k), 1, 4);
    for (std::size_t i = 0; i < k; ++i) columns.push_back({i, i + 1});
  } else {
    const std::size_t w = static_cast<std::size_t>(max_width);
    for (std::size_t c = 0; c < w; ++c) columns.push_back({c * k / w, (c + 1) * k / w});
  }
  // Log scale from the smallest positive value to the largest, stretched to
  // the cut-off unless it lies far below every value (the internal tolerance
  // usually does): the chart would then show the cut-off and flatten the
  // spectrum into its top rows.
  double lo = HUGE_VAL, hi = -HUGE_VAL;
  for (const double v : values)
    if (positive(v)) {
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
  const bool any_positive = lo <= hi;
  if (!any_positive) return "(every singular value is 0)\n";
  const bool cutoff_below = positive(cutoff) && any_positive && cutoff < lo / kCutoffReach;
  const bool have_cutoff = positive(cutoff) && !cutoff_below;
  if (have_cutoff) {
    lo = std::min(lo, cutoff);
    hi = std::max(hi, cutoff);
  }
  double top = std::log10(hi), bottom = std::log10(lo);
  if (top - bottom < 1e-9) {
    top += 0.5;
    bottom -= 0.5;
  }
  const double step = (top - bottom) / (height - 1);
  auto level = [&](int r) { return top - r * step; };
  // A value fills row r when its logarithm rounds to that row or above.
  auto reaches = [&](double v, int r) { return positive(v) && std::log10(v) >= level(r) - step / 2; };
  const int cut_row =
      have_cutoff
          ? std::clamp(static_cast<int>(std::lround((top - std::log10(cutoff)) / step)), 0, height - 1)
          : -1;

  std::string out;
  for (int r = 0; r < height; ++r) {
    const bool labelled = r == 0 || r == height - 1 || r == cut_row || r % 3 == 0;
    out += labelled ? label(std::pow(10.0, level(r))) : std::string(8, ' ');
    out += " |";
    for (const Column& c : columns) {
      bool any_used = false, any_dropped = false, any_zero = false;
      for (std::size_t i = c.first; i < c.last; ++i) {
        const bool u = i < used.size() && used[i];
        if (reaches(values[i], r)) (u ? any_used : any_dropped) = true;
        if (!positive(values[i])) any_zero = true;
      }
      char g = ' ';
      if (any_used)
        g = '#';
      else if (any_dropped)
        g = '.';
      else if (r == height - 1 && any_zero)
        g = 'v';
      else if (r == cut_row)
        g = '-';
      out.append(static_cast<std::size_t>(colw), g);
    }
    if (r == cut_row) out += " cut-off";
    while (out.back() == ' ') out.pop_back();
    out += '\n';
  }

  // Index axis: the spectrum's point index, from 0.
  const std::size_t width = columns.size() * static_cast<std::size_t>(colw);
  out += std::string(8, ' ') + " +" + std::string(width, '-') + '\n';
  std::string ticks(width + 8, ' ');
  auto column_of = [&](std::size_t i) {
    std::size_t c = 0;
    while (c + 1 < columns.size() && columns[c + 1].first <= i) ++c;
    return c * static_cast<std::size_t>(colw);
  };
  std::vector<std::size_t> marks{0};
  const std::size_t ts = tick_step(k);
  for (std::size_t i = ts; i < k; i += ts) marks.push_back(i);
  if (marks.back() != k - 1) marks.push_back(k - 1);
  std::size_t free_from = 0;
  for (std::size_t m = 0; m < marks.size(); ++m) {
    const std::string t = std::to_string(marks[m]);
    std::size_t pos = column_of(marks[m]);
    if (m + 1 == marks.size() && pos + t.size() > width) pos = width > t.size() ? width - t.size() + 1 : 0;
    if (pos < free_from) {
      if (m + 1 != marks.size()) continue;  // the last index always shows
      // Make room for it by clearing the label before.
      std::size_t clear = pos;
      while (clear > 0 && ticks[clear - 1] != ' ') --clear;
      std::fill(ticks.begin() + static_cast<long>(clear), ticks.end(), ' ');
    }
    ticks.replace(pos, t.size(), t);
    free_from = pos + t.size() + 1;
  }
  while (!ticks.empty() && ticks.back() == ' ') ticks.pop_back();
  out += std::string(10, ' ') + ticks + '\n';
  if (cutoff_below) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%10scut-off %.1e lies below every value\n", "", cutoff);
    out += buf;
  }
  return out;
}

}  // namespace cli
}  // namespace zor_feedback
