// The state that a device's playback and capture handles share within one
// process: everything played so far, by absolute frame position.
#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>
#include <string>

namespace vcard {

struct Loopback;

// One stream's place in the loopback of a device. The registry owns each
// loopback; a seat is taken by Join and given up when it is destroyed, and
// the loopback goes when its last seat does.
class LoopbackSeat {
 public:
  LoopbackSeat() = default;
  ~LoopbackSeat();
  LoopbackSeat(const LoopbackSeat&) = delete;
  LoopbackSeat& operator=(const LoopbackSeat&) = delete;

  // Joins the loopback of the device `key` for `stream`, creating it on the
  // first open. A second seat for the same stream gives -EBUSY, as a card
  // with one playback and one capture substream would.
  int Join(const std::string& key, snd_pcm_stream_t stream);

  // Stores `count` played frames of both channels starting at position `pos`.
  void StorePlayed(uint64_t pos, const int32_t* ch1, const int32_t* ch2, uint64_t count);

  // Fetches `count` played samples of channel `channel` (0 or 1) starting at
  // position `pos`; positions before 0, not yet played or already
  // overwritten read as silence.
  void FetchPlayed(int64_t pos, int channel, int32_t* out, uint64_t count) const;

 private:
  Loopback* loop_ = nullptr;  // the registry's, while this seat is taken
  std::string key_;
  snd_pcm_stream_t stream_ = SND_PCM_STREAM_PLAYBACK;
};

}  // namespace vcard
