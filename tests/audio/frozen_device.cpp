// A test sound device that accepts its set-up and then never moves: its
// position stays at 0 and its poll descriptor (a pipe nobody writes to)
// never becomes ready, as when a sound server or a driver stops answering.
// ALSA pcm type "quelmar_frozen".
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace {

struct Frozen {
  snd_pcm_ioplug_t io;
  int fds[2];
};

int Close(snd_pcm_ioplug_t* io) {
  Frozen* f = static_cast<Frozen*>(io->private_data);
  close(f->fds[0]);
  close(f->fds[1]);
  delete f;
  return 0;
}

const snd_pcm_ioplug_callback_t kCallbacks = [] {
  snd_pcm_ioplug_callback_t cb = {};
  cb.start = cb.stop = [](snd_pcm_ioplug_t*) { return 0; };
  cb.pointer = [](snd_pcm_ioplug_t*) -> snd_pcm_sframes_t { return 0; };
  cb.transfer = [](snd_pcm_ioplug_t*, const snd_pcm_channel_area_t*, snd_pcm_uframes_t,
                   snd_pcm_uframes_t size) { return static_cast<snd_pcm_sframes_t>(size); };
  cb.close = Close;
  return cb;
}();

}  // namespace

extern "C" {

SND_PCM_PLUGIN_DEFINE_FUNC(quelmar_frozen) {
  (void)root;
  (void)conf;
  Frozen* f = new Frozen{};
  if (pipe(f->fds) != 0) {
    const int err = -errno;
    delete f;
    return err;
  }
  f->io.version = SND_PCM_IOPLUG_VERSION;
  f->io.name = "Frozen test device";
  f->io.callback = &kCallbacks;
  f->io.private_data = f;
  f->io.poll_fd = f->fds[0];
  f->io.poll_events = POLLIN;
  int err = snd_pcm_ioplug_create(&f->io, name, stream, mode);
  if (err < 0) {
    Close(&f->io);
    return err;
  }
  // Two channels of S24_3LE at 48000 Hz, four periods of 1024 frames.
  static const unsigned int kAccess[] = {SND_PCM_ACCESS_RW_INTERLEAVED,
                                         SND_PCM_ACCESS_RW_NONINTERLEAVED};
  static const unsigned int kFormat[] = {SND_PCM_FORMAT_S24_3LE};
  const unsigned int kRanges[][2] = {{SND_PCM_IOPLUG_HW_CHANNELS, 2},
                                     {SND_PCM_IOPLUG_HW_RATE, 48000},
                                     {SND_PCM_IOPLUG_HW_PERIOD_BYTES, 1024 * 6},
                                     {SND_PCM_IOPLUG_HW_PERIODS, 4}};
  if ((err = snd_pcm_ioplug_set_param_list(&f->io, SND_PCM_IOPLUG_HW_ACCESS, 2, kAccess)) >= 0)
    err = snd_pcm_ioplug_set_param_list(&f->io, SND_PCM_IOPLUG_HW_FORMAT, 1, kFormat);
  for (const auto& r : kRanges)
    if (err >= 0) err = snd_pcm_ioplug_set_param_minmax(&f->io, r[0], r[1], r[1]);
  if (err < 0) {
    snd_pcm_ioplug_delete(&f->io);
    return err;
  }
  *pcmp = f->io.pcm;
  return 0;
}

SND_PCM_PLUGIN_SYMBOL(quelmar_frozen)

}  // extern "C"
