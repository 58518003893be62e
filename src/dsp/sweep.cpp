#include "dsp/sweep.h"

#include <algorithm>
#include <cmath>

#include "dsp/levels.h"
#include "dsp/signals.h"

namespace {

const double kPi = 3.14159265358979323846;

const MetadataTable<SweepSpec>& Table() {
  using S = SweepSpec;
  static const MetadataTable<S> table = {
      WordField<S, SweepKind>("sweep_kind", true, &S::kind,
                              {{"linear", SweepKind::kLinear}, {"log", SweepKind::kLog}}),
      NumberField("start_freq", true, &S::start_freq, kAboveZero, HUGE_VAL),
      NumberField("end_freq", true, &S::end_freq, -HUGE_VAL, HUGE_VAL),
      NumberField("sweep_frames", true, &S::sweep_frames, 0, kMaxMetadataFrames),
      NumberField("lead_frames", true, &S::lead_frames, 0, kMaxMetadataFrames),
      NumberField("tail_frames", true, &S::tail_frames, 0, kMaxMetadataFrames),
      NumberField("sweep_rate", true, &S::rate, 1000, 768000),
      NumberField("amplitude", true, &S::amplitude, kAboveZero, 1),
  };
  return table;
}

// The rows written after the common ones, by kind.
const MetadataTable<SweepSpec>& KindTable(SweepKind kind) {
  using S = SweepSpec;
  static const MetadataTable<S> linear = {
      NumberField("step_frames", true, &S::step_frames, 1, kMaxMetadataFrames)};
  static const MetadataTable<S> log = {NumberField("log_l", true, &S::log_l, 1e-9, 1e6)};
  return kind == SweepKind::kLog ? log : linear;
}

// Written only for repeated sweeps, so that a single sweep's lines stay as
// they were.
const MetadataTable<SweepSpec>& RepeatTable() {
  static const MetadataTable<SweepSpec> table = {
      NumberField("repeats", false, &SweepSpec::repeats, 1, 1000)};
  return table;
}

// A log sweep's frames follow from its range and L, and f1 * L is whole.
bool LogSpecHolds(const SweepSpec& s) {
  const double cycles = s.start_freq * s.log_l;
  const double frames = s.log_l * std::log(s.end_freq / s.start_freq) * s.rate;
  return s.end_freq > s.start_freq && std::round(cycles) >= 1 &&
         std::fabs(cycles - std::round(cycles)) <= 1e-9 * cycles &&
         std::fabs(static_cast<double>(s.sweep_frames) - frames) <= 1.0;
}

}  // namespace

// The fields in order: kind, start and end frequency, sweep, lead and tail
// frames, rate, amplitude, step frames, L.
SweepSpec ProgramSweep(unsigned long rate, double f0, double f1, long total, double amp,
                       long lead) {
  const long frames = std::max(total, 0L), before = std::min(std::max(lead, 0L), frames);
  const long sweep = std::max(total - 2 * before, 0L);
  return {SweepKind::kLinear,          f0,  f1,    sweep, before, frames - before - sweep,
          static_cast<unsigned>(rate), amp, total, 0.0};
}

SweepSpec LogSweep(double f1, double f2, double seconds, unsigned rate, double amplitude, long lead,
                   long tail) {
  const double octaves = std::log(f2 / f1);
  const double l = std::max(std::round(f1 * seconds / octaves), 1.0) / f1;
  return {SweepKind::kLog, f1, f2, std::lround(l * octaves * rate), lead, tail, rate,
          amplitude,       0,  l};
}

long SweepTotalFrames(const SweepSpec& s) {
  return s.lead_frames + s.repeats * s.sweep_frames + s.tail_frames;
}

double SweepFrequency(const SweepSpec& s, long i) {
  const double t = static_cast<double>(i);
  if (s.kind == SweepKind::kLog) return s.start_freq * std::exp(t / (s.rate * s.log_l));
  return s.start_freq + t * ((s.end_freq - s.start_freq) / s.step_frames);
}

long SweepFrameAt(const SweepSpec& s, double f) {
  double frame = 0.0;
  if (s.kind == SweepKind::kLog && f > s.start_freq)
    frame = std::ceil(s.rate * s.log_l * std::log(f / s.start_freq));
  if (s.kind == SweepKind::kLinear && s.end_freq > s.start_freq)
    frame = std::ceil((f - s.start_freq) / ((s.end_freq - s.start_freq) / s.step_frames));
  return static_cast<long>(std::min(std::max(frame, 0.0), static_cast<double>(s.sweep_frames)));
}

FrequencyRange SweepRange(const SweepSpec& s, double played_rate) {
  const double scale = played_rate / s.rate;
  return {s.start_freq * scale, SweepFrequency(s, s.sweep_frames - 1) * scale};
}

double SweepL(const SweepSpec& s) { return s.kind == SweepKind::kLog ? s.log_l : 0.0; }

double HarmonicOffset(const SweepSpec& s, int k) { return SweepL(s) * std::log(k); }

long SweepFadeFrames(const SweepSpec& s) {
  if (s.kind != SweepKind::kLog) return 0;
  return std::min(std::max(std::lround(kLogFadeCycles * s.rate / s.end_freq), 1L), s.sweep_frames);
}

void SweepSamples(const SweepSpec& s, long first, long count, int32_t* out) {
  const double scale = s.amplitude * kFullScale;
  // Linear: the phase is the integral of the frequency start + step * t, so
  // that the tone really sounds at its nominal frequency.
  const double step =
      s.kind == SweepKind::kLinear ? (s.end_freq - s.start_freq) / s.step_frames : 0;
  const double w = kProgramTwoPi / s.rate;
  // Log: the phase 2 pi f1 L (exp(t / L) - 1), the fade over the last frames.
  const double cycles = 2 * kPi * s.start_freq * s.log_l, rate_l = s.rate * s.log_l;
  const long fade = SweepFadeFrames(s), fade_from = s.sweep_frames - fade;
  for (long j = 0; j < count; ++j) {
    long i = first + j - s.lead_frames;
    if (i < 0 || i >= s.repeats * s.sweep_frames) {
      out[j] = 0;
      continue;
    }
    i %= s.sweep_frames;
    const double t = static_cast<double>(i);
    if (s.kind == SweepKind::kLinear) {
      out[j] = TruncToInt32(std::sin(w * (s.start_freq * t + 0.5 * step * t * t)) * scale);
      continue;
    }
    double gain = 1.0;
    if (i >= fade_from)
      gain = 0.5 + 0.5 * std::cos(kPi * static_cast<double>(i - fade_from + 1) / fade);
    out[j] = TruncToInt32(std::sin(cycles * std::expm1(t / rate_l)) * scale * gain);
  }
}

void MakeSweep(const SweepSpec& s, int32_t* out, double* freqs) {
  SweepSamples(s, 0, SweepTotalFrames(s), out);
  // A local copy cannot alias the table, so the compiler keeps its fields
  // and the linear step in registers instead of reloading them every frame.
  const SweepSpec local = s;
  for (long i = 0; i < local.sweep_frames; ++i) freqs[i] = SweepFrequency(local, i);
}

void MakeSweep(unsigned long rate, int32_t* out, double* freqs, double f0, double f1, long total,
               double amp, long lead) {
  if (total <= 0) return;
  freqs[0] = f0;
  MakeSweep(ProgramSweep(rate, f0, f1, total, amp, lead), out, freqs);
}

void WriteSweepMetadata(const SweepSpec& desc, std::string* text) {
  std::vector<std::string> shortened;  // numbers are never that long
  WriteMetadata(Table(), desc, text, &shortened);
  WriteMetadata(KindTable(desc.kind), desc, text, &shortened);
  if (desc.repeats != 1) WriteMetadata(RepeatTable(), desc, text, &shortened);
}

bool ReadSweepMetadata(const MetadataValues& values, long total_frames, SweepSpec* out,
                       std::string* error) {
  // A text from before sweeps had kinds reads as the program's sweep of
  // then: linear, as long after the sweep as before, dividing by the total.
  MetadataValues all = values;
  if (values.count("sweep_kind") == 0 && values.count("lead_frames") == 1) {
    all["sweep_kind"] = "linear";
    all["tail_frames"] = values.at("lead_frames");
    all["step_frames"] = std::to_string(total_frames);
  }
  SweepSpec s;
  if (!ReadMetadata(Table(), all, &s, error) || !ReadMetadata(KindTable(s.kind), all, &s, error) ||
      !ReadMetadata(RepeatTable(), all, &s, error))
    return false;
  if (!(s.end_freq >= s.start_freq)) return BadValue("end_freq", error);
  if (SweepTotalFrames(s) != total_frames) return BadValue("lead_frames", error);
  if (s.kind == SweepKind::kLog && !LogSpecHolds(s)) return BadValue("log_l", error);
  *out = s;
  return true;
}
