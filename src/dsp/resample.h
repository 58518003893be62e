// Sample-rate conversion by libsamplerate's best sinc converter: a stream at a
// fixed ratio, converted chunk by chunk (a microphone's clock against a
// speaker's), and a whole signal at any ratio (a recording corrected for a
// measured clock drift).
//
// Timing: output frame j is the input at time j / ratio, input frame i
// standing at time i. Nothing is delayed: the converter only holds back the
// outputs whose time is within its filter's reach of the last input given.
// The ratio is output rate / input rate, from 1/256 to 256.
#pragma once

struct SRC_STATE_tag;

class StreamResampler {
 public:
  StreamResampler() = default;
  ~StreamResampler();
  StreamResampler(const StreamResampler&) = delete;
  StreamResampler& operator=(const StreamResampler&) = delete;

  // Starts a conversion of `channels` interleaved channels at `ratio` from
  // time 0, dropping any earlier one. False when libsamplerate refuses it (a
  // ratio out of range, no channels, no memory).
  bool Start(int channels, double ratio);

  // Converts: takes up to `in_frames` frames of `in` and writes up to
  // `out_capacity` frames to `out`, telling how many of each in *used and
  // *made. Frames not taken must be offered again. False when not started.
  bool Process(const float* in, long in_frames, float* out, long out_capacity, long* used,
               long* made);

 private:
  SRC_STATE_tag* state_ = nullptr;
  double ratio_ = 1.0;
};

// `in`[0 .. count) converted at `ratio` into `out`: the frames j whose time
// j / ratio lies within the input, ResampledFrames(count, ratio) =
// floor((count - 1) * ratio) + 1 of them, the input taken as silence beyond
// its ends. `out` must hold them and must not overlap `in`. False for a ratio
// out of range or an empty input.
long ResampledFrames(long count, double ratio);
bool ResampleSignal(const double* in, long count, double ratio, double* out);
