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

// Excess where the fit's target is lowered below the target (a boost must
// not reach there) counts this much more: a soft wall.
constexpr double kLimitWeight = 50.0;

double Weight(double e, bool limit) {
  return e > 0.0 ? (limit ? kLimitWeight : 1.0) : kShortfallWeight;
}

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
  std::vector<bool> limit;  // where the fit's target is lowered
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
    sum += Weight(e, o.limit[k]) * e * e;
  }
  return sum / static_cast<double>(o.base.size()) + cost;
}

// Residual on the grid: response + filters - target (the fit's, unless
// `target` is given).
std::vector<double> Residual(const EqProblem& p, const std::vector<FilterSpec>& filters,
                             double rate, const std::vector<double>* target = nullptr) {
  std::vector<double> r(p.freq.size());
  for (size_t k = 0; k < r.size(); ++k) {
    r[k] = p.level[k] - (target ? *target : p.fit_target)[k];
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
  Objective o{s.rate, {}, {}, {}, {}};
  std::vector<FilterSpec> fixed(filters->begin(), filters->begin() + first);
  o.base = Residual(p, fixed, s.rate);
  for (size_t k = 0; k < p.freq.size(); ++k) {
    o.cos_w.push_back(std::cos(2.0 * M_PI * p.freq[k] / s.rate));
    o.cos_2w.push_back(std::cos(4.0 * M_PI * p.freq[k] / s.rate));
    o.limit.push_back(p.fit_target[k] < p.target[k]);
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
                const std::vector<bool>& tried, FilterSpec* guess, size_t* left_end,
                size_t* right_end) {
  size_t at = 0;
  double score = 0.0;
  for (size_t k = 0; k < r.size(); ++k) {
    if (tried[k]) continue;
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
  *left_end = left, *right_end = right;
  return true;
}

// Frequencies from lo to hi, both included, spaced evenly over log
// frequency at about `per_octave` points per octave.
std::vector<double> LogGrid(double lo, double hi, int per_octave) {
  const int n = std::max(1, static_cast<int>(std::ceil(per_octave * std::log2(hi / lo))));
  std::vector<double> f(static_cast<size_t>(n) + 1);
  for (int k = 0; k <= n; ++k) f[static_cast<size_t>(k)] = lo * std::pow(hi / lo, double(k) / n);
  return f;
}

// The curve's level at each of `at`, smoothed to 1/n octave as BuildProblem
// says.
std::vector<double> SmoothedLevels(const Curve& c, const std::vector<double>& at, int n) {
  std::vector<double> freq, power;
  for (size_t k = 0; k < c.freq.size(); ++k) {
    if (k > 0 && c.freq[k] > c.freq[k - 1] * std::exp2(1.0 / 24))
      for (double f = c.freq[k - 1] * std::exp2(1.0 / 48); f < c.freq[k] / std::exp2(1.0 / 96);
           f *= std::exp2(1.0 / 48)) {
        freq.push_back(f);
        power.push_back(std::pow(10.0, CurveDbAt(c, f) / 10.0));
      }
    freq.push_back(c.freq[k]);
    power.push_back(std::pow(10.0, c.db[k] / 10.0));
  }
  const long count = static_cast<long>(freq.size());
  std::vector<double> area(power.size()), level;
  RunningIntegral(freq.data(), power.data(), count, area.data());
  for (double f : at)
    level.push_back(10.0 * std::log10(SmoothedAt(freq.data(), power.data(), area.data(), count,
                                                 f, n, 0.0, HUGE_VAL)));
  return level;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// Moves p->target to the response's level as BuildProblem says.
void Anchor(const Curve& response, const Curve* target_curve, const EqSettings& s,
            EqProblem* p) {
  std::vector<double> band, level, target;
  const bool midrange = response.freq.front() <= kMidrangeLo &&
                        response.freq.back() >= kMidrangeHi;
  if (s.ref_hi > 0.0 || (target_curve && midrange)) {
    band = s.ref_hi > 0.0 ? LogGrid(s.ref_lo, s.ref_hi, s.points_per_octave)
                          : LogGrid(kMidrangeLo, kMidrangeHi, s.points_per_octave);
    level = SmoothedLevels(response, band, s.smoothing);
    target = target_curve ? SmoothedLevels(*target_curve, band, s.smoothing)
                          : std::vector<double>(band.size(), 0.0);
  } else if (target_curve) {
    for (size_t k = 0; k < p->freq.size(); ++k)
      if (std::fabs(CurveDbAt(*target_curve, p->freq[k])) < 0.05) {
        band.push_back(p->freq[k]);
        level.push_back(p->level[k]);
        target.push_back(p->target[k]);
      }
    p->anchor_at_zero = band.size() >= 2;
  }
  if (band.size() < 2) band = p->freq, level = p->level, target = p->target;
  for (size_t k = 0; k < band.size(); ++k) level[k] -= target[k];
  p->target_offset = Median(level);
  p->anchor_lo = band.front(), p->anchor_hi = band.back();
  for (double& t : p->target) t += p->target_offset;
}

// Sets p->fit_target as BuildProblem says.
void LimitBoost(const EqSettings& s, EqProblem* p) {
  p->fit_target = p->target;
  if (s.max_boost_db <= 0.0) return;
  const size_t count = p->freq.size();
  auto shortfall = [p](size_t k) { return p->target[k] - p->level[k]; };
  std::vector<bool> none(count);  // where no boost may reach: below the roll-off,
  for (size_t k = 0; k < count && shortfall(k) > 6.0; ++k) none[k] = true;
  // and in each run of points below the target, its parts deeper than half
  // its depth where they are narrower than a third of an octave.
  for (size_t a = 0; a < count;) {
    size_t b = a;
    double depth = 0.0;
    for (; b < count && shortfall(b) > 0.0; ++b) depth = std::max(depth, shortfall(b));
    for (size_t i = a; i < b;) {
      size_t j = i;
      while (j < b && shortfall(j) > 0.5 * depth) ++j;
      if (j > i && 3 * (j - i) < static_cast<size_t>(s.points_per_octave))
        std::fill(none.begin() + static_cast<long>(i), none.begin() + static_cast<long>(j), true);
      i = std::max(j, i + 1);
    }
    a = std::max(b, a + 1);
  }
  // The response's closing: the lowest of the highest levels over each third
  // of an octave that holds a point.
  const size_t w = std::min(count - 1, static_cast<size_t>(std::lround(s.points_per_octave / 3.0)));
  std::vector<double> top(count - w);
  for (size_t j = 0; j < top.size(); ++j)
    top[j] = *std::max_element(p->level.begin() + j, p->level.begin() + j + w + 1);
  for (size_t k = 0; k < count; ++k) {
    const double closed = *std::min_element(top.begin() + (k > w ? k - w : 0),
                                            top.begin() + std::min(k, top.size() - 1) + 1);
    const double need = none[k] ? 0.0 : std::max(0.0, p->target[k] - closed);
    p->fit_target[k] = std::min(p->target[k], p->level[k] + need);
  }
}

}  // namespace

void BuildProblem(const Curve& response, const Curve* target_curve, const EqSettings& s,
                  EqProblem* problem) {
  EqProblem p;
  p.freq = LogGrid(s.lo, s.hi, s.points_per_octave);
  p.level = SmoothedLevels(response, p.freq, s.smoothing);
  p.target = target_curve ? SmoothedLevels(*target_curve, p.freq, s.smoothing)
                          : std::vector<double>(p.freq.size(), 0.0);
  Anchor(response, target_curve, s, &p);
  LimitBoost(s, &p);
  *problem = std::move(p);
}

std::vector<FilterSpec> FitFilters(const EqProblem& p, const EqSettings& s) {
  std::vector<FilterSpec> filters;
  std::vector<bool> tried(p.freq.size());
  while (static_cast<int>(filters.size()) < s.max_filters) {
    FilterSpec guess;
    size_t left, right;
    if (!FirstGuess(p, s, Residual(p, filters, s.rate), tried, &guess, &left, &right)) break;
    filters.push_back(guess);
    Refine(p, s, filters.size() - 1, &filters);
    // A filter that ends up too small would be dropped in the end: it is
    // not added, and nothing is started on its excess again, so that the
    // limit on filters never sets the cost.
    if (std::fabs(filters.back().gain_db) < s.min_gain_db) {
      filters.pop_back();
      std::fill(tried.begin() + left, tried.begin() + right + 1, true);
    }
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

namespace {

// x rounded to a multiple of 1/scale within [lo, hi] (which must hold one).
double RoundWithin(double x, double scale, double lo, double hi) {
  const double first = std::ceil(lo * scale - 1e-9), last = std::floor(hi * scale + 1e-9);
  return std::min(std::max(std::round(x * scale), first), last) / scale;
}

}  // namespace

FilterSpec RoundFilter(const FilterSpec& filter, const EqSettings& s) {
  FilterSpec f = filter;
  f.freq = RoundWithin(f.freq, 10.0, s.lo, s.hi);
  f.gain_db = RoundWithin(f.gain_db, 10.0, -s.max_cut_db, s.max_boost_db);
  f.q = RoundWithin(f.q, 100.0, s.q_min, s.q_max);
  return f;
}

Deviation DeviationFromTarget(const EqProblem& p, const std::vector<FilterSpec>& filters,
                              double rate) {
  const std::vector<double> r = Residual(p, filters, rate, &p.target);
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
