#include "eq/eq_fit.h"

#include <nlopt.h>

#include <algorithm>
#include <cmath>

#include "dsp/smoothing.h"

namespace {

// Shortfall below the target counts a quarter as much as excess above it:
// a peak is heard and can be cut; a dip is often a cancellation that no
// boost fills, and cutting a little too deep is the lesser evil.
constexpr double kShortfallWeight = 0.25;

// A fit of one filter and of all filters together stop after this many
// evaluations per parameter, long after BOBYQA has converged on any room.
constexpr int kEvaluationsPerParameter = 200;

// The optimiser's parameters for one filter: log2 of the frequency, the gain
// in dB and log2 of Q, so that steps mean the same at every frequency and Q.
constexpr int kParams = 3;

// A small cost for each filter, growing with the square root of its gain:
// of two fits that follow the target about equally well it prefers fewer,
// larger filters (one filter on a peak rather than three stacked ones) and
// keeps filters from piling boost and cut on the same frequency.
constexpr double kGainCost = 2e-2;

double Weight(double e) { return e > 0.0 ? 1.0 : kShortfallWeight; }

FilterSpec FromParams(const double* x) {
  FilterSpec f;
  f.type = FilterType::kPeak;
  f.freq = std::exp2(x[0]);
  f.gain_db = x[1];
  f.q = std::exp2(x[2]);
  return f;
}

void ToParams(const FilterSpec& f, double* x) {
  x[0] = std::log2(f.freq);
  x[1] = f.gain_db;
  x[2] = std::log2(f.q);
}

// What the optimiser minimises: the weighted mean square of
// base + the filters' gain over the grid, base being the response minus the
// target with the filters that are held fixed.
struct Objective {
  double rate;
  std::vector<double> base, cos_w, cos_2w;
};

double WeightedSquares(unsigned n, const double* x, double* grad, void* data) {
  (void)grad;  // BOBYQA uses no derivatives
  const Objective& o = *static_cast<const Objective*>(data);
  const int count = static_cast<int>(n) / kParams;
  std::vector<Biquad> q(count);
  double cost = 0.0;
  for (int i = 0; i < count; ++i) {
    q[i] = MakeBiquad(FromParams(x + kParams * i), o.rate);
    cost += kGainCost * std::sqrt(std::fabs(x[kParams * i + 1]));
  }
  double sum = 0.0;
  for (size_t k = 0; k < o.base.size(); ++k) {
    double power = 1.0;
    for (int i = 0; i < count; ++i) power *= BiquadPowerGain(q[i], o.cos_w[k], o.cos_2w[k]);
    const double e = o.base[k] + 10.0 * std::log10(power);
    sum += Weight(e) * e * e;
  }
  return sum / static_cast<double>(o.base.size()) + cost;
}

// Residual on the grid: response + filters - target.
std::vector<double> Residual(const EqProblem& p, const std::vector<FilterSpec>& filters,
                             double rate) {
  std::vector<double> r(p.freq.size());
  for (size_t k = 0; k < r.size(); ++k) {
    r[k] = p.level[k] - p.target[k];
    r[k] += FilterChainDb(filters.data(), static_cast<int>(filters.size()), p.freq[k], rate);
  }
  return r;
}

// Refines filters[first .. end) with the others held fixed. Keeps the
// filters as they were if the optimiser fails outright.
void Refine(const EqProblem& p, const EqSettings& s, size_t first,
            std::vector<FilterSpec>* filters) {
  const size_t count = filters->size() - first;
  if (count == 0) return;
  Objective o{s.rate, {}, {}, {}};
  std::vector<FilterSpec> fixed(filters->begin(), filters->begin() + first);
  o.base = Residual(p, fixed, s.rate);
  for (double f : p.freq) {
    o.cos_w.push_back(std::cos(2.0 * M_PI * f / s.rate));
    o.cos_2w.push_back(std::cos(4.0 * M_PI * f / s.rate));
  }

  const unsigned n = static_cast<unsigned>(kParams * count);
  std::vector<double> x(n), lb(n), ub(n), step(n), xtol(n);
  for (size_t i = 0; i < count; ++i) {
    double* xi = &x[kParams * i];
    FilterSpec f = (*filters)[first + i];
    f.freq = std::min(std::max(f.freq, s.lo), s.hi);
    f.gain_db = std::min(std::max(f.gain_db, -s.max_cut_db), s.max_boost_db);
    f.q = std::min(std::max(f.q, s.q_min), s.q_max);
    ToParams(f, xi);
    const double lo[kParams] = {std::log2(s.lo), -s.max_cut_db, std::log2(s.q_min)};
    const double hi[kParams] = {std::log2(s.hi), s.max_boost_db, std::log2(s.q_max)};
    const double dx[kParams] = {1.0 / 12.0, 1.0, 0.25};       // 1/12 octave, 1 dB, Q x1.19
    const double tol[kParams] = {1e-4, 1e-4, 1e-4};
    for (int j = 0; j < kParams; ++j) {
      lb[kParams * i + j] = lo[j];
      ub[kParams * i + j] = hi[j];
      step[kParams * i + j] = dx[j];
      xtol[kParams * i + j] = tol[j];
    }
  }
  nlopt_opt opt = nlopt_create(NLOPT_LN_BOBYQA, n);
  if (opt == nullptr) return;
  nlopt_set_min_objective(opt, WeightedSquares, &o);
  nlopt_set_lower_bounds(opt, lb.data());
  nlopt_set_upper_bounds(opt, ub.data());
  nlopt_set_initial_step(opt, step.data());
  nlopt_set_xtol_abs(opt, xtol.data());
  nlopt_set_ftol_rel(opt, 1e-10);
  nlopt_set_maxeval(opt, kEvaluationsPerParameter * static_cast<int>(n));
  double best = 0.0;
  std::vector<double> start = x;
  const nlopt_result result = nlopt_optimize(opt, x.data(), &best);
  nlopt_destroy(opt);
  if (result < 0 && result != NLOPT_ROUNDOFF_LIMITED) x = start;
  for (size_t i = 0; i < count; ++i) (*filters)[first + i] = FromParams(&x[kParams * i]);
}

// A first guess for a filter on the residual's largest excess (or, when
// boosting is allowed, its largest weighted shortfall): its frequency, the
// gain that cancels it and the Q of its width at half its height in dB.
// False when nothing is left that a filter could fix.
bool FirstGuess(const EqProblem& p, const EqSettings& s, const std::vector<double>& r,
                FilterSpec* guess) {
  size_t at = 0;
  double score = 0.0;
  for (size_t k = 0; k < r.size(); ++k) {
    const double e = r[k] > 0.0 ? r[k] : s.max_boost_db > 0.0 ? -r[k] * std::sqrt(kShortfallWeight)
                                                               : 0.0;
    if (e > score) {
      score = e;
      at = k;
    }
  }
  const double gain = std::min(std::max(-r[at], -s.max_cut_db), s.max_boost_db);
  if (score < s.min_gain_db || std::fabs(gain) < s.min_gain_db) return false;
  size_t left = at, right = at;
  while (left > 0 && std::fabs(r[left - 1]) > 0.5 * std::fabs(r[at]) &&
         (r[left - 1] > 0) == (r[at] > 0))
    --left;
  while (right + 1 < r.size() && std::fabs(r[right + 1]) > 0.5 * std::fabs(r[at]) &&
         (r[right + 1] > 0) == (r[at] > 0))
    ++right;
  // Width in octaves; a side cut off by the range's end counts as the other.
  const double below = std::log2(p.freq[at] / p.freq[left]);
  const double above = std::log2(p.freq[right] / p.freq[at]);
  double octaves = left == 0 ? 2.0 * above : right + 1 == r.size() ? 2.0 * below : below + above;
  octaves = std::max(octaves, 1.0 / s.points_per_octave);
  const double w = std::exp2(octaves);
  guess->type = FilterType::kPeak;
  guess->freq = p.freq[at];
  guess->gain_db = gain;
  guess->q = std::min(std::max(std::sqrt(w) / (w - 1.0), s.q_min), s.q_max);
  return true;
}

}  // namespace

void BuildProblem(const Curve& response, const Curve* target_curve, const EqSettings& s,
                  EqProblem* problem) {
  EqProblem p;
  const int n = std::max(2, static_cast<int>(std::ceil(s.points_per_octave *
                                                       std::log2(s.hi / s.lo))) + 1);
  const long count = static_cast<long>(response.freq.size());
  std::vector<double> power(response.db.size()), area(power.size()), difference(n);
  for (size_t k = 0; k < power.size(); ++k) power[k] = std::pow(10.0, response.db[k] / 10.0);
  RunningIntegral(response.freq.data(), power.data(), count, area.data());
  for (int k = 0; k < n; ++k) {
    const double f = s.lo * std::pow(s.hi / s.lo, static_cast<double>(k) / (n - 1));
    p.freq.push_back(f);
    p.level.push_back(10.0 * std::log10(SmoothedAt(response.freq.data(), power.data(), area.data(),
                                                   count, f, s.smoothing, 0.0, HUGE_VAL)));
    p.target.push_back(target_curve ? CurveDbAt(*target_curve, f) : 0.0);
    difference[k] = p.level[k] - p.target[k];
  }
  std::sort(difference.begin(), difference.end());
  p.target_offset = n % 2 ? difference[n / 2] : 0.5 * (difference[n / 2 - 1] + difference[n / 2]);
  for (double& t : p.target) t += p.target_offset;
  *problem = std::move(p);
}

std::vector<FilterSpec> FitFilters(const EqProblem& p, const EqSettings& s) {
  std::vector<FilterSpec> filters;
  while (static_cast<int>(filters.size()) < s.max_filters) {
    FilterSpec guess;
    if (!FirstGuess(p, s, Residual(p, filters, s.rate), &guess)) break;
    filters.push_back(guess);
    Refine(p, s, filters.size() - 1, &filters);
  }
  for (;;) {
    Refine(p, s, 0, &filters);
    const size_t before = filters.size();
    // Two filters on the same frequency with the same Q act as one with
    // their gains added: keep one.
    for (size_t i = 0; i < filters.size(); ++i)
      for (size_t j = i + 1; j < filters.size(); ++j)
        if (std::fabs(std::log2(filters[i].freq / filters[j].freq)) < 1.0 / 48.0 &&
            std::fabs(std::log2(filters[i].q / filters[j].q)) < 0.1 &&
            (filters[i].gain_db > 0) == (filters[j].gain_db > 0)) {
          filters[i].gain_db += filters[j].gain_db;
          filters[j].gain_db = 0.0;
        }
    filters.erase(std::remove_if(filters.begin(), filters.end(),
                                 [&](const FilterSpec& f) {
                                   return std::fabs(f.gain_db) < s.min_gain_db;
                                 }),
                  filters.end());
    if (filters.size() == before) break;
  }
  std::sort(filters.begin(), filters.end(),
            [](const FilterSpec& a, const FilterSpec& b) { return a.freq < b.freq; });
  return filters;
}

FilterSpec RoundFilter(const FilterSpec& filter) {
  FilterSpec f = filter;
  f.freq = std::round(f.freq * 10.0) / 10.0;
  f.gain_db = std::round(f.gain_db * 10.0) / 10.0;
  f.q = std::round(f.q * 100.0) / 100.0;
  return f;
}

Deviation DeviationFromTarget(const EqProblem& p, const std::vector<FilterSpec>& filters,
                              double rate) {
  const std::vector<double> r = Residual(p, filters, rate);
  Deviation d;
  d.max_excess = r.empty() ? 0.0 : r[0];
  double sum = 0.0;
  for (double e : r) {
    sum += e * e;
    d.max_excess = std::max(d.max_excess, e);
  }
  d.rms = r.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(r.size()));
  return d;
}

double PeakGainDb(const std::vector<FilterSpec>& filters, double rate) {
  const int n = static_cast<int>(filters.size());
  double peak = 0.0;
  for (double f = 10.0; f < 0.4999 * rate; f *= std::exp2(1.0 / 96.0))
    peak = std::max(peak, FilterChainDb(filters.data(), n, f, rate));
  for (const FilterSpec& f : filters)
    peak = std::max(peak, FilterChainDb(filters.data(), n, f.freq, rate));
  return peak;
}
