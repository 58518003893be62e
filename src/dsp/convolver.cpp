#include "dsp/convolver.h"

#include <fftw3.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace {

// FFTW's planner is not thread-safe: cards and tools may plan from several
// threads of one process.
std::mutex& PlannerMutex() {
  static std::mutex m;
  return m;
}

}  // namespace

struct Convolver::Plans {
  fftw_plan forward = nullptr;
  fftw_plan inverse = nullptr;
  ~Plans() {
    std::lock_guard<std::mutex> lock(PlannerMutex());
    if (forward != nullptr) fftw_destroy_plan(forward);
    if (inverse != nullptr) fftw_destroy_plan(inverse);
  }
};

Convolver::Convolver() = default;
Convolver::~Convolver() = default;

bool Convolver::Init(const double* ir, long count, long block) {
  plans_.reset();
  block_ = 0;
  if (count < 1 || block < 1 || block > (1L << 20)) return false;
  const long n = 2 * block;
  const long bins = block + 1;
  partitions_ = (count + block - 1) / block;
  response_.assign(static_cast<size_t>(2 * bins * partitions_), 0.0);
  history_.assign(response_.size(), 0.0);
  frame_.assign(static_cast<size_t>(n), 0.0);
  spectrum_.assign(static_cast<size_t>(2 * bins), 0.0);
  result_.assign(static_cast<size_t>(n), 0.0);
  late_.assign(static_cast<size_t>(block), 0.0);
  newest_ = 0;
  fill_ = 0;

  auto plans = std::make_unique<Plans>();
  fftw_complex* spectrum = reinterpret_cast<fftw_complex*>(spectrum_.data());
  {
    std::lock_guard<std::mutex> lock(PlannerMutex());
    plans->forward =
        fftw_plan_dft_r2c_1d(static_cast<int>(n), frame_.data(), spectrum, FFTW_ESTIMATE);
    plans->inverse =
        fftw_plan_dft_c2r_1d(static_cast<int>(n), spectrum, result_.data(), FFTW_ESTIMATE);
  }
  if (plans->forward == nullptr || plans->inverse == nullptr) return false;

  // Each partition zero-padded to 2 * block and transformed, with the
  // inverse FFT's 1 / n folded in.
  for (long p = 0; p < partitions_; ++p) {
    std::fill(frame_.begin(), frame_.end(), 0.0);
    const long len = std::min(block, count - p * block);
    for (long i = 0; i < len; ++i) frame_[i] = ir[p * block + i] / static_cast<double>(n);
    fftw_execute(plans->forward);
    std::copy(spectrum_.begin(), spectrum_.end(), response_.begin() + 2 * bins * p);
  }
  std::fill(frame_.begin(), frame_.end(), 0.0);
  plans_ = std::move(plans);
  block_ = block;
  return true;
}

// Overlap-save: the spectrum of the last two input blocks goes into the
// ring; the output block is the second half of the inverse FFT of the sum,
// over partitions p, of the spectrum p blocks old times partition p's.
void Convolver::ProcessBlock() {
  const long bins = block_ + 1;
  fftw_execute(plans_->forward);
  newest_ = (newest_ + 1) % partitions_;
  std::copy(spectrum_.begin(), spectrum_.end(), history_.begin() + 2 * bins * newest_);
  std::fill(spectrum_.begin(), spectrum_.end(), 0.0);
  double* y = spectrum_.data();
  for (long p = 0; p < partitions_; ++p) {
    const double* x = &history_[2 * bins * ((newest_ - p + partitions_) % partitions_)];
    const double* h = &response_[2 * bins * p];
    for (long k = 0; k < 2 * bins; k += 2) {
      y[k] += x[k] * h[k] - x[k + 1] * h[k + 1];
      y[k + 1] += x[k] * h[k + 1] + x[k + 1] * h[k];
    }
  }
  fftw_execute(plans_->inverse);
  std::copy(result_.begin() + block_, result_.end(), late_.begin());
  // The current block becomes the previous one.
  std::copy(frame_.begin() + block_, frame_.end(), frame_.begin());
}

void Convolver::Process(const double* in, double* out, long n) {
  if (block_ == 0) {
    std::fill(out, out + n, 0.0);
    return;
  }
  for (long done = 0; done < n;) {
    const long m = std::min(n - done, block_ - fill_);
    // Out before in: `in` and `out` may be the same.
    for (long i = 0; i < m; ++i) {
      const double x = in[done + i];
      out[done + i] = late_[fill_ + i];
      frame_[block_ + fill_ + i] = x;
    }
    fill_ += m;
    done += m;
    if (fill_ == block_) {
      ProcessBlock();
      fill_ = 0;
    }
  }
}
