// The state that a device's playback and capture handles share within one
// process: everything played so far, by absolute frame position.
#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>
#include <string>

namespace vcard {

struct Loopback;

// Joins the loopback of the device `key` for one stream, creating it on the
// first open. A second open of the same stream gives -EBUSY, as a card with
// one playback and one capture substream would.
int AcquireLoopback(const std::string& key, snd_pcm_stream_t stream, Loopback** out);

// Leaves it; the last stream to leave frees it.
void ReleaseLoopback(Loopback* loop, snd_pcm_stream_t stream);

// Stores `count` played frames of both channels starting at position `pos`.
void StorePlayed(Loopback* loop, uint64_t pos, const int32_t* ch1, const int32_t* ch2,
                 uint64_t count);

// Fetches `count` played samples of channel `channel` (0 or 1) starting at
// position `pos`; positions before 0, not yet played or already overwritten
// read as silence.
void FetchPlayed(Loopback* loop, int64_t pos, int channel, int32_t* out, uint64_t count);

}  // namespace vcard
