#include "wav_files.h"

#include <sndfile.h>

#include <cstring>
#include <memory>

namespace {

struct CloseSndfile {
  void operator()(SNDFILE* f) const { sf_close(f); }
};
using Sndfile = std::unique_ptr<SNDFILE, CloseSndfile>;

// A growing file in memory for libsndfile's virtual I/O.
struct MemoryFile {
  std::string data;
  sf_count_t pos = 0;
};

MemoryFile* Mem(void* user) { return static_cast<MemoryFile*>(user); }

sf_count_t MemLength(void* user) { return static_cast<sf_count_t>(Mem(user)->data.size()); }

sf_count_t MemSeek(sf_count_t offset, int whence, void* user) {
  MemoryFile* m = Mem(user);
  sf_count_t base = whence == SEEK_CUR ? m->pos : whence == SEEK_END ? MemLength(user) : 0;
  if (base + offset < 0) return -1;
  m->pos = base + offset;
  return m->pos;
}

sf_count_t MemRead(void* ptr, sf_count_t count, void* user) {
  MemoryFile* m = Mem(user);
  const sf_count_t size = MemLength(user);
  if (m->pos >= size || count <= 0) return 0;
  const sf_count_t n = count < size - m->pos ? count : size - m->pos;
  memcpy(ptr, m->data.data() + m->pos, static_cast<size_t>(n));
  m->pos += n;
  return n;
}

sf_count_t MemWrite(const void* ptr, sf_count_t count, void* user) {
  MemoryFile* m = Mem(user);
  if (count <= 0) return 0;
  const size_t end = static_cast<size_t>(m->pos + count);
  if (end > m->data.size()) m->data.resize(end, '\0');
  memcpy(&m->data[static_cast<size_t>(m->pos)], ptr, static_cast<size_t>(count));
  m->pos += count;
  return count;
}

sf_count_t MemTell(void* user) { return Mem(user)->pos; }

}  // namespace

bool ReadRecording(const std::string& path, RecordingInfo* info, int32_t* mic, long mic_capacity,
                   std::vector<int32_t>* sync, std::string* error) {
  SF_INFO sf;
  memset(&sf, 0, sizeof sf);
  Sndfile file(sf_open(path.c_str(), SFM_READ, &sf));
  if (!file) {
    *error = sf_strerror(nullptr);
    return false;
  }
  if ((sf.format & SF_FORMAT_TYPEMASK) != SF_FORMAT_WAV || sf.channels != 2) {
    *error = "not a two-channel WAV recording made by quelmar";
    return false;
  }
  const char* comment = sf_get_string(file.get(), SF_STR_COMMENT);
  if (!comment) {
    *error = "no recording metadata (not a recording made by quelmar)";
    return false;
  }
  if (!ParseRecordingInfo(comment, strlen(comment), info, error)) return false;
  if (static_cast<unsigned>(sf.samplerate) != info->rate) {
    *error = "its rate (" + std::to_string(sf.samplerate) + " Hz) is not the one its metadata names";
    return false;
  }
  if (sf.frames != info->total_frames) {
    *error = (sf.frames < info->total_frames ? "truncated: " : "longer than recorded: ") +
             std::to_string(sf.frames) + " of " + std::to_string(info->total_frames) + " frames";
    return false;
  }
  if (!mic) return true;

  const long total = info->total_frames;
  if (total > mic_capacity) {
    *error = "it grew while it was read";
    return false;
  }
  sync->assign(static_cast<size_t>(info->sync_frames), 0);
  const long kChunk = 8192;
  std::vector<int> buf(static_cast<size_t>(kChunk) * 2);
  for (long at = 0; at < total;) {
    const sf_count_t want = total - at < kChunk ? total - at : kChunk;
    const sf_count_t got = sf_readf_int(file.get(), buf.data(), want);
    if (got <= 0) {
      *error = "truncated: " + std::to_string(at) + " of " + std::to_string(total) + " frames read";
      return false;
    }
    // libsndfile puts samples on a 32-bit scale; 24-bit values are exact
    // multiples of 256 there.
    for (sf_count_t i = 0; i < got; ++i, ++at) {
      mic[at] = buf[static_cast<size_t>(2 * i)] / 256;
      if (at < info->sync_frames)
        (*sync)[static_cast<size_t>(at)] = buf[static_cast<size_t>(2 * i + 1)] / 256;
    }
  }
  return true;
}

bool FloatWav(const std::vector<double>& samples, unsigned rate, std::string* bytes,
              std::string* error) {
  SF_VIRTUAL_IO io = {MemLength, MemSeek, MemRead, MemWrite, MemTell};
  MemoryFile mem;
  SF_INFO sf;
  memset(&sf, 0, sizeof sf);
  sf.samplerate = static_cast<int>(rate);
  sf.channels = 1;
  sf.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  Sndfile file(sf_open_virtual(&io, SFM_WRITE, &sf, &mem));
  if (!file) {
    *error = sf_strerror(nullptr);
    return false;
  }
  const sf_count_t n = static_cast<sf_count_t>(samples.size());
  if (sf_write_double(file.get(), samples.data(), n) != n) {
    *error = sf_strerror(file.get());
    return false;
  }
  file.reset();
  *bytes = std::move(mem.data);
  return true;
}
