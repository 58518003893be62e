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
  std::mutex mutex;
  // Rings indexed by position % kHistoryFrames, left uninitialised: only
  // positions below `played` are read, and pages nobody writes cost nothing.
  std::unique_ptr<int32_t[]> history[2];
  uint64_t played = 0;              // frames stored so far
  bool has_playback = false;
  bool has_capture = false;
};

namespace {

// The loopbacks of the devices open in this process, by key.
struct Registry {
  std::mutex mutex;
  std::map<std::string, std::unique_ptr<Loopback>> loops;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

bool& Taken(Loopback* loop, snd_pcm_stream_t stream) {
  return stream == SND_PCM_STREAM_PLAYBACK ? loop->has_playback : loop->has_capture;
}

}  // namespace

int LoopbackSeat::Join(const std::string& key, snd_pcm_stream_t stream) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  std::unique_ptr<Loopback>& slot = r.loops[key];
  if (!slot) slot = std::make_unique<Loopback>();
  Loopback* loop = slot.get();
  std::lock_guard<std::mutex> data_lock(loop->mutex);
  if (Taken(loop, stream)) return -EBUSY;
  Taken(loop, stream) = true;
  if (stream == SND_PCM_STREAM_PLAYBACK) {
    // A new playback open starts counting from frame 0 again.
    // Only positions below `played` are ever read, so old content needs no
    // clearing.
    loop->played = 0;
    for (std::unique_ptr<int32_t[]>& h : loop->history)
      if (!h) h.reset(new int32_t[kHistoryFrames]);
  }
  loop_ = loop;
  key_ = key;
  stream_ = stream;
  return 0;
}

LoopbackSeat::~LoopbackSeat() {
  if (loop_ == nullptr) return;
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  bool last;
  {
    std::lock_guard<std::mutex> data_lock(loop_->mutex);
    Taken(loop_, stream_) = false;
    last = !loop_->has_playback && !loop_->has_capture;
  }
  if (last) r.loops.erase(key_);
}

void LoopbackSeat::StorePlayed(uint64_t pos, const int32_t* ch1, const int32_t* ch2,
                               uint64_t count) {
  std::lock_guard<std::mutex> lock(loop_->mutex);
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t slot = (pos + i) % kHistoryFrames;
    loop_->history[0][slot] = ch1[i];
    loop_->history[1][slot] = ch2[i];
  }
  if (pos + count > loop_->played) loop_->played = pos + count;
}

void LoopbackSeat::FetchPlayed(int64_t pos, int channel, int32_t* out, uint64_t count) const {
  std::lock_guard<std::mutex> lock(loop_->mutex);
  const int32_t* h = loop_->history[channel].get();
  const int64_t played = static_cast<int64_t>(loop_->played);
  const int64_t oldest = played - static_cast<int64_t>(kHistoryFrames);
  for (uint64_t i = 0; i < count; ++i) {
    const int64_t p = pos + static_cast<int64_t>(i);
    const bool held = p >= 0 && p < played && p >= oldest;
    out[i] = held && h ? h[static_cast<uint64_t>(p) % kHistoryFrames] : 0;
  }
}

}  // namespace vcard
