// A test sound device that accepts its set-up and then never moves: its
// position stays at 0 and its poll descriptor never becomes ready, as when
// a sound server or a driver stops answering. ALSA pcm type "quelmar_frozen".
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace {

struct Frozen {
  snd_pcm_ioplug_t io;
  int pipe_fds[2];  // nothing is ever written to pipe_fds[1]
};

int Start(snd_pcm_ioplug_t*) { return 0; }
int Stop(snd_pcm_ioplug_t*) { return 0; }
snd_pcm_sframes_t Pointer(snd_pcm_ioplug_t*) { return 0; }

snd_pcm_sframes_t Transfer(snd_pcm_ioplug_t*, const snd_pcm_channel_area_t*, snd_pcm_uframes_t,
                           snd_pcm_uframes_t size) {
  return static_cast<snd_pcm_sframes_t>(size);
}

int Close(snd_pcm_ioplug_t* io) {
  Frozen* f = static_cast<Frozen*>(io->private_data);
  close(f->pipe_fds[0]);
  close(f->pipe_fds[1]);
  delete f;
  return 0;
}

snd_pcm_ioplug_callback_t MakeCallbacks() {
  snd_pcm_ioplug_callback_t cb = {};
  cb.start = Start;
  cb.stop = Stop;
  cb.pointer = Pointer;
  cb.transfer = Transfer;
  cb.close = Close;
  return cb;
}
const snd_pcm_ioplug_callback_t kCallbacks = MakeCallbacks();

int Open(snd_pcm_t** pcmp, const char* name, snd_pcm_stream_t stream, int mode) {
  Frozen* f = new Frozen{};
  if (pipe(f->pipe_fds) != 0) {
    int err = -errno;
    delete f;
    return err;
  }
  f->io.version = SND_PCM_IOPLUG_VERSION;
  f->io.name = "Frozen test device";
  f->io.callback = &kCallbacks;
  f->io.private_data = f;
  f->io.poll_fd = f->pipe_fds[0];
  f->io.poll_events = POLLIN;
  int err = snd_pcm_ioplug_create(&f->io, name, stream, mode);
  if (err < 0) {
    Close(&f->io);
    return err;
  }
  static const unsigned int kAccess[] = {SND_PCM_ACCESS_RW_INTERLEAVED,
                                         SND_PCM_ACCESS_RW_NONINTERLEAVED};
  static const unsigned int kFormat[] = {SND_PCM_FORMAT_S24_3LE};
  const unsigned int frame_bytes = 6;
  if ((err = snd_pcm_ioplug_set_param_list(&f->io, SND_PCM_IOPLUG_HW_ACCESS, 2, kAccess)) < 0 ||
      (err = snd_pcm_ioplug_set_param_list(&f->io, SND_PCM_IOPLUG_HW_FORMAT, 1, kFormat)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(&f->io, SND_PCM_IOPLUG_HW_CHANNELS, 2, 2)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(&f->io, SND_PCM_IOPLUG_HW_RATE, 48000, 48000)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(&f->io, SND_PCM_IOPLUG_HW_PERIOD_BYTES,
                                             1024 * frame_bytes, 1024 * frame_bytes)) < 0 ||
      (err = snd_pcm_ioplug_set_param_minmax(&f->io, SND_PCM_IOPLUG_HW_PERIODS, 4, 4)) < 0) {
    snd_pcm_ioplug_delete(&f->io);
    return err;
  }
  *pcmp = f->io.pcm;
  return 0;
}

}  // namespace

extern "C" {

SND_PCM_PLUGIN_DEFINE_FUNC(quelmar_frozen) {
  (void)root;
  (void)conf;
  return Open(pcmp, name, stream, mode);
}

SND_PCM_PLUGIN_SYMBOL(quelmar_frozen)

}  // extern "C"
