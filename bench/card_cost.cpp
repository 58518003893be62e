// CPU time the virtual card spends per second of audio on its devices: 30 s
// played and recorded through real alsa-lib, period by period, on the virtual
// clock (as fast as it goes). The models' cost does not depend on what is
// played. `loopback` is the cost of alsa-lib and the exchange alone; the rest
// is each device's model.
#include <alsa/asoundlib.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

double CpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

// Seconds of CPU per second of audio played on `play` (S24_3LE, 2 channels)
// and recorded on `capture`; negative on an error.
double CpuPerSecond(const char* play, const char* capture, snd_pcm_format_t format,
                    unsigned channels) {
  const long period = 1024, periods = 30 * 48000 / period;
  snd_pcm_t* pcm[2] = {};
  int err = snd_pcm_open(&pcm[0], play, SND_PCM_STREAM_PLAYBACK, 0);
  if (err == 0) err = snd_pcm_open(&pcm[1], capture, SND_PCM_STREAM_CAPTURE, 0);
  if (err == 0)
    err = snd_pcm_set_params(pcm[0], SND_PCM_FORMAT_S24_3LE, SND_PCM_ACCESS_RW_INTERLEAVED, 2,
                             48000, 0, 85334);
  if (err == 0)
    err = snd_pcm_set_params(pcm[1], format, SND_PCM_ACCESS_RW_INTERLEAVED, channels, 48000, 0,
                             85334);
  std::vector<char> out(period * 6), in(period * channels * 4);
  const double start = CpuSeconds();
  for (long k = -2; err == 0 && k < periods; ++k) {  // playback two periods ahead
    if (k >= 0 && snd_pcm_readi(pcm[1], in.data(), period) != period) err = -EIO;
    if (err == 0 && snd_pcm_writei(pcm[0], out.data(), period) != period) err = -EIO;
  }
  const double cpu = CpuSeconds() - start;
  for (snd_pcm_t* p : pcm)
    if (p != nullptr) snd_pcm_close(p);
  if (err != 0) fprintf(stderr, "%s: %s\n", capture, snd_strerror(err));
  return err == 0 ? cpu / 30 : -1;
}

}  // namespace

int main() {
  setenv("ALSA_CONFIG_PATH", QUELMAR_BENCH_ALSA_CONFIG_PATH, 1);
  const struct { const char *play, *capture; snd_pcm_format_t format; unsigned channels; } runs[] = {
      {"loopback", "loopback", SND_PCM_FORMAT_S24_3LE, 2},
      {"room", "room", SND_PCM_FORMAT_S24_3LE, 2},
      {"home", "home", SND_PCM_FORMAT_S24_3LE, 2},
      {"speakers", "usbmic", SND_PCM_FORMAT_S32_LE, 1},
  };
  for (const auto& run : runs) {
    const double cpu = CpuPerSecond(run.play, run.capture, run.format, run.channels);
    if (cpu < 0) return 1;
    printf("%-9s %.4f s of CPU per second of audio\n", run.capture, cpu);
  }
  return 0;
}
