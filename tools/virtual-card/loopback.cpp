#include "loopback.h"

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>

#include "card_settings.h"

namespace vcard {

// Capacity of the history, in frames: well beyond the longest delay plus a
// buffer of lead, so a capture that keeps up never reads overwritten frames.
constexpr uint64_t kHistoryFrames = 1ULL << 18;
static_assert(kHistoryFrames >= 2 * static_cast<uint64_t>(kMaxDelayFrames), "history too short");

struct Loopback {
  std::string key;
  std::mutex mutex;
  // Rings indexed by position % kHistoryFrames, left uninitialised: only
  // positions below `played` are read, and pages nobody writes cost nothing.
  std::unique_ptr<int32_t[]> history[2];
  uint64_t played = 0;              // frames stored so far
  bool has_playback = false;
  bool has_capture = false;
};

namespace {

std::mutex registry_mutex;

std::map<std::string, Loopback*>& Registry() {
  static std::map<std::string, Loopback*> registry;
  return registry;
}

}  // namespace

int AcquireLoopback(const std::string& key, snd_pcm_stream_t stream, Loopback** out) {
  std::lock_guard<std::mutex> lock(registry_mutex);
  Loopback*& slot = Registry()[key];
  if (slot == nullptr) {
    slot = new Loopback;
    slot->key = key;
  }
  Loopback* loop = slot;
  std::lock_guard<std::mutex> data_lock(loop->mutex);
  bool& taken = stream == SND_PCM_STREAM_PLAYBACK ? loop->has_playback : loop->has_capture;
  if (taken) return -EBUSY;
  taken = true;
  if (stream == SND_PCM_STREAM_PLAYBACK) {
    // A new playback open starts counting from frame 0 again.
    // Only positions below `played` are ever read, so old content needs no
    // clearing.
    loop->played = 0;
    for (std::unique_ptr<int32_t[]>& h : loop->history)
      if (!h) h.reset(new int32_t[kHistoryFrames]);
  }
  *out = loop;
  return 0;
}

void ReleaseLoopback(Loopback* loop, snd_pcm_stream_t stream) {
  std::lock_guard<std::mutex> lock(registry_mutex);
  bool last;
  {
    std::lock_guard<std::mutex> data_lock(loop->mutex);
    (stream == SND_PCM_STREAM_PLAYBACK ? loop->has_playback : loop->has_capture) = false;
    last = !loop->has_playback && !loop->has_capture;
  }
  if (last) {
    Registry().erase(loop->key);
    delete loop;
  }
}

void StorePlayed(Loopback* loop, uint64_t pos, const int32_t* ch1, const int32_t* ch2,
                 uint64_t count) {
  std::lock_guard<std::mutex> lock(loop->mutex);
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t slot = (pos + i) % kHistoryFrames;
    loop->history[0][slot] = ch1[i];
    loop->history[1][slot] = ch2[i];
  }
  if (pos + count > loop->played) loop->played = pos + count;
}

void FetchPlayed(Loopback* loop, int64_t pos, int channel, int32_t* out, uint64_t count) {
  std::lock_guard<std::mutex> lock(loop->mutex);
  const int32_t* h = loop->history[channel].get();
  const int64_t played = static_cast<int64_t>(loop->played);
  const int64_t oldest = played - static_cast<int64_t>(kHistoryFrames);
  for (uint64_t i = 0; i < count; ++i) {
    const int64_t p = pos + static_cast<int64_t>(i);
    const bool held = p >= 0 && p < played && p >= oldest;
    out[i] = held && h ? h[static_cast<uint64_t>(p) % kHistoryFrames] : 0;
  }
}

}  // namespace vcard
