#include "stat_result/joint.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numeric>

namespace quillon {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Pearson's r of two equally long vectors, by two passes (means first) so
// that large offsets do not cancel. NaN with fewer than 2 values or when
// either side is constant.
double pearson(const std::vector<double>& x, const std::vector<double>& y) {
  const std::size_t n = x.size();
  if (n < 2) return kNaN;
  double mx = 0.0;
  double my = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    mx += x[k];
    my += y[k];
  }
  mx /= static_cast<double>(n);
  my /= static_cast<double>(n);
  double sxx = 0.0;
  double syy = 0.0;
  double sxy = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    const double dx = x[k] - mx;
    const double dy = y[k] - my;
    sxx += dx * dx;
    syy += dy * dy;
    sxy += dx * dy;
  }
  if (!(sxx > 0.0) || !(syy > 0.0)) return kNaN;
  const double r = sxy / std::sqrt(sxx * syy);
  return std::clamp(r, -1.0, 1.0);  // rounding may step just past the bounds
}

double sample_covariance(const std::vector<double>& x, const std::vector<double>& y) {
  const std::size_t n = x.size();
  if (n < 2) return kNaN;
  const double mx = std::accumulate(x.begin(), x.end(), 0.0) / static_cast<double>(n);
  const double my = std::accumulate(y.begin(), y.end(), 0.0) / static_cast<double>(n);
  double sxy = 0.0;
  for (std::size_t k = 0; k < n; ++k) sxy += (x[k] - mx) * (y[k] - my);
  return sxy / static_cast<double>(n - 1);
}

// Ranks 1..n of `values` (none NaN); a run of equal values shares the
// average of the ranks it spans.
std::vector<double> average_ranks(const std::vector<double>& values) {
  const std::size_t n = values.size();
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  // No NaN reaches here, so `<` is a strict weak ordering.
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return values[a] < values[b]; });
  std::vector<double> ranks(n);
  std::size_t start = 0;
  while (start < n) {
    std::size_t end = start + 1;
    while (end < n && values[order[end]] == values[order[start]]) ++end;
    // Positions start..end-1 hold ranks start+1..end; their average:
    const double rank = (static_cast<double>(start) + static_cast<double>(end) + 1.0) / 2.0;
    for (std::size_t k = start; k < end; ++k) ranks[order[k]] = rank;
    start = end;
  }
  return ranks;
}

// Display width of UTF-8 text: its code points (continuation bytes do not
// count).
std::size_t text_width(std::string_view text) {
  std::size_t width = 0;
  for (const char c : text) width += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
  return width;
}

std::string format_number(const char* format, double value) {
  if (std::isnan(value)) return "nan";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

// Rows of cells written as aligned columns: the first column left-aligned,
// the others right-aligned, each as wide as its widest cell, two spaces
// apart, every line indented by two spaces.
std::string aligned(const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> widths;
  for (const auto& row : rows) {
    if (widths.size() < row.size()) widths.resize(row.size(), 0);
    for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], text_width(row[c]));
  }
  std::string out;
  for (const auto& row : rows) {
    std::string line = " ";
    for (std::size_t c = 0; c < row.size(); ++c) {
      const std::string padding(widths[c] - text_width(row[c]), ' ');
      line += ' ';
      if (c > 0) line += ' ';
      line += c == 0 ? row[c] + padding : padding + row[c];
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line;
    out += '\n';
  }
  return out;
}

}  // namespace

std::optional<CorrelationMethod> parse_correlation_method(std::string_view name) {
  if (name == "pearson") return CorrelationMethod::kPearson;
  if (name == "spearman") return CorrelationMethod::kSpearman;
  return std::nullopt;
}

const char* correlation_method_name(CorrelationMethod method) {
  return method == CorrelationMethod::kSpearman ? "spearman" : "pearson";
}

JointSample::JointSample(const ParticleTable& table) : size_(table.size()) {
  table.for_each_column([&](const std::string& key, const ParticleTable::Column& column) {
    names_.push_back(key);
    columns_.push_back(column);
  });
  // Columns without a single value are not variables of the sample.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < names_.size(); ++i) {
    bool any = false;
    for (std::size_t p = 0; p < size_ && !any; ++p) any = has(i, p);
    if (!any) continue;
    if (kept != i) {
      names_[kept] = std::move(names_[i]);
      columns_[kept] = std::move(columns_[i]);
    }
    ++kept;
  }
  names_.resize(kept);
  columns_.resize(kept);
}

bool JointSample::has(std::size_t variable, std::size_t particle) const {
  const ParticleTable::Column& column = columns_[variable];
  return column.has(particle) && !std::isnan(column.at(particle));
}

std::optional<std::size_t> JointSample::index_of(std::string_view name) const {
  for (std::size_t i = 0; i < names_.size(); ++i) {
    if (names_[i] == name) return i;
  }
  return std::nullopt;
}

std::vector<double> JointSample::column(std::size_t i) const {
  std::vector<double> out(size_);
  for (std::size_t p = 0; p < size_; ++p) out[p] = has(i, p) ? columns_[i].at(p) : kNaN;
  return out;
}

std::pair<std::vector<double>, std::vector<double>> JointSample::complete_pairs(std::size_t i, std::size_t j) const {
  std::pair<std::vector<double>, std::vector<double>> out;
  for (std::size_t p = 0; p < size_; ++p) {
    if (!has(i, p) || !has(j, p)) continue;
    out.first.push_back(columns_[i].at(p));
    out.second.push_back(columns_[j].at(p));
  }
  return out;
}

SquareMatrix JointSample::covariance() const {
  const std::size_t k = names_.size();
  SquareMatrix m{k, std::vector<double>(k * k, kNaN)};
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t j = i; j < k; ++j) {
      const auto [x, y] = complete_pairs(i, j);
      m.values[i * k + j] = m.values[j * k + i] = sample_covariance(x, y);
    }
  }
  return m;
}

SquareMatrix JointSample::correlation(CorrelationMethod method) const {
  const std::size_t k = names_.size();
  SquareMatrix m{k, std::vector<double>(k * k, kNaN)};
  // The ranks of a variable that has a value on every particle are the same
  // in every pair: they are taken once, not once per pair.
  const bool spearman = method == CorrelationMethod::kSpearman;
  std::vector<std::vector<double>> full_ranks(k);
  if (spearman) {
    for (std::size_t i = 0; i < k; ++i) {
      bool complete = true;
      for (std::size_t p = 0; p < size_ && complete; ++p) complete = has(i, p);
      if (complete && size_ > 0) full_ranks[i] = average_ranks(column(i));
    }
  }
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t j = i; j < k; ++j) {
      double r = kNaN;
      if (spearman && !full_ranks[i].empty() && !full_ranks[j].empty()) {
        r = pearson(full_ranks[i], full_ranks[j]);
      } else {
        auto [x, y] = complete_pairs(i, j);
        if (spearman) {
          x = average_ranks(x);
          y = average_ranks(y);
        }
        r = pearson(x, y);
      }
      // A variable is perfectly correlated with itself wherever r exists.
      if (i == j && !std::isnan(r)) r = 1.0;
      m.values[i * k + j] = m.values[j * k + i] = r;
    }
  }
  return m;
}

Distribution JointSample::marginal(std::size_t i) const {
  std::vector<double> values;
  values.reserve(size_);
  for (std::size_t p = 0; p < size_; ++p) {
    if (has(i, p)) values.push_back(columns_[i].at(p));
  }
  return Distribution::empirical(std::move(values));
}

std::string JointSample::summary_text(CorrelationMethod method) const {
  const std::size_t k = names_.size();
  std::string out = "JointDistribution: " + std::to_string(k) + (k == 1 ? " variable, " : " variables, ") +
                    std::to_string(size_) + (size_ == 1 ? " particle\n" : " particles\n");
  if (k == 0) return out;

  std::vector<std::vector<std::string>> rows;
  rows.push_back({"variable", "n", "mean", "std", "p5", "p50", "p95"});
  for (std::size_t i = 0; i < k; ++i) {
    const Distribution dist = marginal(i);
    const std::size_t count = dist.samples()->size();
    const PortSummary s = dist.summary();
    const double std_dev = count < 2 ? kNaN : s.std;
    rows.push_back({names_[i], std::to_string(count), format_number("%.6g", s.mean), format_number("%.6g", std_dev),
                    format_number("%.6g", s.p5), format_number("%.6g", s.p50), format_number("%.6g", s.p95)});
  }
  out += "Marginals:\n";
  out += aligned(rows);

  const SquareMatrix r = correlation(method);
  rows.clear();
  std::vector<std::string> header{""};
  header.insert(header.end(), names_.begin(), names_.end());
  rows.push_back(std::move(header));
  for (std::size_t i = 0; i < k; ++i) {
    std::vector<std::string> row{names_[i]};
    for (std::size_t j = 0; j < k; ++j) row.push_back(format_number("%.4f", r.at(i, j)));
    rows.push_back(std::move(row));
  }
  out += std::string("Correlation (") + correlation_method_name(method) + "):\n";
  out += aligned(rows);
  return out;
}

}  // namespace quillon
