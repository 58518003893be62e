// Helpers for driving virtual-card devices through real alsa-lib: open and
// configure a stream as the program does, and run a duplex exchange.
#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>
#include <string>
#include <vector>

struct Stream {
  snd_pcm_t* pcm = nullptr;
  snd_pcm_uframes_t period = 0;
  snd_pcm_uframes_t buffer = 0;
  unsigned rate = 0;
};

// Opens `device` for one direction with 2 channels of S24_3LE at rate near
// 48000, period near `period` and buffer near 4096. Returns 0, or the error
// of the first call that failed and its name in `failed` ("open",
// "set_format" or "hw_params").
int OpenStream(const char* device, snd_pcm_stream_t dir, snd_pcm_access_t access,
               snd_pcm_uframes_t period, Stream* out, std::string* failed = nullptr);
void CloseStream(Stream* s);

// Two channels of samples on the 24-bit scale.
struct Block {
  std::vector<int32_t> ch1, ch2;
  explicit Block(size_t frames = 0) : ch1(frames, 0), ch2(frames, 0) {}
  size_t frames() const { return ch1.size(); }
};

// A block whose samples all differ from their neighbours and from zero.
Block Pattern(size_t frames);

// Writes or reads `frames` frames at `pos` of a block, packed as S24_3LE.
snd_pcm_sframes_t WriteBlock(const Stream& s, const Block& b, size_t pos, size_t frames,
                             bool interleaved = false);
snd_pcm_sframes_t ReadBlock(const Stream& s, Block* b, size_t pos, size_t frames,
                            bool interleaved = false);

struct DuplexResult {
  Block captured;
  std::vector<size_t> underruns;  // write positions that returned -EPIPE
  std::vector<size_t> overruns;   // read positions that returned -EPIPE
  int setup_error = 0;
  int transfer_error = 0;         // first error other than -EPIPE
  size_t transfer_error_at = 0;
  double seconds = 0;
};

// Plays `play` on `device` and records as many frames, period by period:
// `lead` periods of playback are queued first, then one read and one write
// alternate. -EPIPE is repaired with snd_pcm_prepare; any other error ends
// the exchange. Only whole periods are exchanged.
DuplexResult RunDuplex(const char* device, const Block& play, int lead,
                       bool interleaved_playback = false, bool interleaved_capture = false);

// A sine of `freq` Hz at 48000 frames per second on channel 1.
Block Sine(size_t frames, double freq, double amplitude);

// RMS of samples [from, to) of a channel.
double Rms(const std::vector<int32_t>& x, size_t from, size_t to);
