#include "card_io.h"

#include <gtest/gtest.h>
#include <time.h>

#include <cmath>
#include <cstdlib>
#include <string>

namespace {

void Pack(int32_t v, unsigned char* p) {
  const uint32_t u = static_cast<uint32_t>(v);
  p[0] = u & 0xff;
  p[1] = (u >> 8) & 0xff;
  p[2] = (u >> 16) & 0xff;
}

int32_t Unpack(const unsigned char* p) {
  int32_t v = p[0] | (p[1] << 8) | (p[2] << 16);
  return (v & 0x800000) ? v - 0x1000000 : v;
}

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

}  // namespace

int OpenStream(const char* device, snd_pcm_stream_t dir, snd_pcm_access_t access,
               snd_pcm_uframes_t period, Stream* out, std::string* failed) {
  std::string dummy;
  std::string& step = failed ? *failed : dummy;
  snd_pcm_t* pcm = nullptr;
  int err = snd_pcm_open(&pcm, device, dir, 0);
  if (err < 0) {
    step = "open";
    return err;
  }
  snd_pcm_hw_params_t* hw;
  snd_pcm_hw_params_alloca(&hw);
  snd_pcm_hw_params_any(pcm, hw);
  snd_pcm_hw_params_set_access(pcm, hw, access);
  err = snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S24_3LE);
  if (err < 0) {
    step = "set_format";
    snd_pcm_close(pcm);
    return err;
  }
  unsigned rate = 48000;
  snd_pcm_uframes_t buffer = 4096;
  snd_pcm_hw_params_set_channels(pcm, hw, 2);
  snd_pcm_hw_params_set_rate_near(pcm, hw, &rate, nullptr);
  snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, nullptr);
  snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buffer);
  err = snd_pcm_hw_params(pcm, hw);
  if (err < 0) {
    step = "hw_params";
    snd_pcm_close(pcm);
    return err;
  }
  out->pcm = pcm;
  snd_pcm_hw_params_get_period_size(hw, &out->period, nullptr);
  snd_pcm_hw_params_get_buffer_size(hw, &out->buffer);
  snd_pcm_hw_params_get_rate(hw, &out->rate, nullptr);
  return 0;
}

void CloseStream(Stream* s) {
  if (s->pcm != nullptr) {
    snd_pcm_drop(s->pcm);
    snd_pcm_close(s->pcm);
  }
  s->pcm = nullptr;
}

Block Pattern(size_t frames) {
  Block b(frames);
  for (size_t j = 0; j < frames; ++j) {
    b.ch1[j] = static_cast<int32_t>((j * 7919 + 13) % 8000000) - 4000000;
    b.ch2[j] = static_cast<int32_t>((j * 104729 + 7) % 6000000) - 3000017;
    if (b.ch1[j] == 0) b.ch1[j] = 1;
    if (b.ch2[j] == 0) b.ch2[j] = 1;
  }
  return b;
}

// Where sample (frame i, channel c) sits in a packed buffer of `frames`
// frames: interleaved, or channel 2 after the whole of channel 1.
size_t At(size_t i, int c, size_t frames, bool interleaved) {
  return interleaved ? i * 6 + c * 3 : (c * frames + i) * 3;
}

snd_pcm_sframes_t WriteBlock(const Stream& s, const Block& b, size_t pos, size_t frames,
                             bool interleaved) {
  std::vector<unsigned char> buf(frames * 6);
  for (size_t i = 0; i < frames; ++i) {
    Pack(b.ch1[pos + i], &buf[At(i, 0, frames, interleaved)]);
    Pack(b.ch2[pos + i], &buf[At(i, 1, frames, interleaved)]);
  }
  if (interleaved) return snd_pcm_writei(s.pcm, buf.data(), frames);
  void* bufs[2] = {buf.data(), buf.data() + frames * 3};
  return snd_pcm_writen(s.pcm, bufs, frames);
}

snd_pcm_sframes_t ReadBlock(const Stream& s, Block* b, size_t pos, size_t frames,
                            bool interleaved) {
  std::vector<unsigned char> buf(frames * 6);
  void* bufs[2] = {buf.data(), buf.data() + frames * 3};
  const snd_pcm_sframes_t n = interleaved ? snd_pcm_readi(s.pcm, buf.data(), frames)
                                          : snd_pcm_readn(s.pcm, bufs, frames);
  for (snd_pcm_sframes_t i = 0; i < n; ++i) {
    b->ch1[pos + i] = Unpack(&buf[At(i, 0, frames, interleaved)]);
    b->ch2[pos + i] = Unpack(&buf[At(i, 1, frames, interleaved)]);
  }
  return n;
}

DuplexResult RunDuplex(const char* device, const Block& play, int lead,
                       bool interleaved_playback, bool interleaved_capture) {
  DuplexResult r;
  r.captured = Block(play.frames());
  Stream out, in;
  r.setup_error = OpenStream(device, SND_PCM_STREAM_PLAYBACK,
                             interleaved_playback ? SND_PCM_ACCESS_RW_INTERLEAVED
                                                  : SND_PCM_ACCESS_RW_NONINTERLEAVED,
                             1024, &out);
  if (r.setup_error < 0) return r;
  r.setup_error = OpenStream(device, SND_PCM_STREAM_CAPTURE,
                             interleaved_capture ? SND_PCM_ACCESS_RW_INTERLEAVED
                                                 : SND_PCM_ACCESS_RW_NONINTERLEAVED,
                             out.period, &in);
  if (r.setup_error < 0) {
    CloseStream(&out);
    return r;
  }
  snd_pcm_drop(out.pcm);
  snd_pcm_drop(in.pcm);
  snd_pcm_prepare(in.pcm);
  snd_pcm_prepare(out.pcm);

  const size_t p = out.period;
  const size_t total = play.frames() / p * p;
  size_t w = 0, rd = 0;
  auto write_one = [&]() {
    const snd_pcm_sframes_t n = WriteBlock(out, play, w, p, interleaved_playback);
    if (n == -EPIPE) {
      r.underruns.push_back(w);
      snd_pcm_prepare(out.pcm);
    } else if (n < 0 && r.transfer_error == 0) {
      r.transfer_error = static_cast<int>(n);
      r.transfer_error_at = w;
    }
    w += p;
  };
  const double start = Now();
  for (int i = 0; i < lead && w < total && r.transfer_error == 0; ++i) write_one();
  while (rd < total && r.transfer_error == 0) {
    const snd_pcm_sframes_t n = ReadBlock(in, &r.captured, rd, p, interleaved_capture);
    if (n == -EPIPE) {
      r.overruns.push_back(rd);
      snd_pcm_prepare(in.pcm);
    } else if (n < 0 && r.transfer_error == 0) {
      r.transfer_error = static_cast<int>(n);
      r.transfer_error_at = rd;
    }
    rd += p;
    if (w < total && r.transfer_error == 0) write_one();
  }
  r.seconds = Now() - start;
  CloseStream(&out);
  CloseStream(&in);
  return r;
}

Block Sine(size_t frames, double freq, double amplitude) {
  Block b(frames);
  for (size_t j = 0; j < frames; ++j) {
    b.ch1[j] = static_cast<int32_t>(std::lround(amplitude * std::sin(2 * M_PI * freq * j / 48000.0)));
  }
  return b;
}

double Rms(const std::vector<int32_t>& x, size_t from, size_t to) {
  double sum = 0;
  for (size_t j = from; j < to; ++j) sum += static_cast<double>(x[j]) * x[j];
  return std::sqrt(sum / static_cast<double>(to - from));
}

// alsa-lib reads ALSA_CONFIG_PATH once, at its first use: set it before any
// test runs, with the system's configuration, the generated devices and the
// tests' own.
int main(int argc, char** argv) {
  const std::string path =
      std::string(QUELMAR_ALSA_CONFIG_PATH) + ":" + VCARD_TEST_DEVICES;
  setenv("ALSA_CONFIG_PATH", path.c_str(), 1);
  ::testing::InitGoogleTest(&argc, argv);
  const int status = RUN_ALL_TESTS();
  snd_config_update_free_global();
  return status;
}
