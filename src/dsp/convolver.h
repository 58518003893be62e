// Convolution of a stream with a long impulse response (seconds of it), by
// uniformly partitioned FFT convolution: the response is cut into blocks of
// `block` samples, each block's spectrum computed once; every `block` input
// samples cost one forward and one inverse FFT of 2 * block points and one
// spectrum product per partition, whatever the response's length.
#pragma once

#include <memory>
#include <vector>

class Convolver {
 public:
  Convolver();
  ~Convolver();
  Convolver(const Convolver&) = delete;
  Convolver& operator=(const Convolver&) = delete;

  // Sets up the convolution with ir[0 .. count) in blocks of `block`
  // samples, with clean state. False for an empty response or a block below 1
  // or above 2^20.
  bool Init(const double* ir, long count, long block);

  // Streams n samples: out[i] is the convolution of everything given so far
  // with the response, `block` samples late: sum over k of ir[k] * x[t - block - k]
  // where x is the stream and t the position of in[i] in it. A response
  // whose first `block` samples are zero, given advanced by `block`, thus
  // comes out exactly on time. `in` and `out` may be the same.
  void Process(const double* in, double* out, long n);

  long block() const { return block_; }

 private:
  struct Plans;
  void ProcessBlock();

  long block_ = 0;
  long partitions_ = 0;
  std::unique_ptr<Plans> plans_;
  std::vector<double> response_;  // partition spectra, interleaved re, im; block_ + 1 bins each
  std::vector<double> history_;   // input spectra, a ring of partitions_
  long newest_ = 0;               // slot of the newest input spectrum
  std::vector<double> frame_;     // time domain: the previous and the current input block
  std::vector<double> spectrum_;  // the current input block's spectrum, then the output's
  std::vector<double> result_;    // time domain output of the inverse FFT
  std::vector<double> late_;      // the last finished output block
  long fill_ = 0;                 // samples of the current input block given
};
