#include "dsp/resample.h"

#include <samplerate.h>

#include <algorithm>
#include <cmath>
#include <vector>

StreamResampler::~StreamResampler() {
  if (state_ != nullptr) src_delete(state_);
}

bool StreamResampler::Start(int channels, double ratio) {
  if (state_ != nullptr) state_ = src_delete(state_);
  if (channels < 1 || !src_is_valid_ratio(ratio)) return false;
  int error = 0;
  state_ = src_new(SRC_SINC_BEST_QUALITY, channels, &error);
  ratio_ = ratio;
  return state_ != nullptr;
}

bool StreamResampler::Process(const float* in, long in_frames, float* out, long out_capacity,
                              long* used, long* made) {
  *used = *made = 0;
  if (state_ == nullptr) return false;
  SRC_DATA d{};
  d.data_in = in;
  d.input_frames = in_frames;
  d.data_out = out;
  d.output_frames = out_capacity;
  d.src_ratio = ratio_;
  if (src_process(state_, &d) != 0) return false;
  *used = d.input_frames_used;
  *made = d.output_frames_gen;
  return true;
}

long ResampledFrames(long count, double ratio) {
  return static_cast<long>(std::floor((count - 1) * ratio)) + 1;
}

bool ResampleSignal(const double* in, long count, double ratio, double* out) {
  StreamResampler r;
  if (count < 1 || !r.Start(1, ratio)) return false;
  const long total = ResampledFrames(count, ratio);
  constexpr long kChunk = 8192;
  std::vector<float> x(kChunk), y(kChunk);
  long taken = 0;
  // The input, then silence, until every output frame is made; each call
  // takes input or makes output.
  for (long done = 0; done < total;) {
    const long n = std::min(kChunk, std::max(0L, count - taken));
    for (long i = 0; i < n; ++i) x[i] = static_cast<float>(in[taken + i]);
    std::fill(x.begin() + n, x.end(), 0.0f);
    long used = 0, made = 0;
    if (!r.Process(x.data(), kChunk, y.data(), kChunk, &used, &made) || used + made == 0)
      return false;
    taken += used;
    made = std::min(made, total - done);
    std::copy(y.begin(), y.begin() + made, out + done);
    done += made;
  }
  return true;
}
