#include "formats/recording.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dsp/packing.h"
#include "formats/file_io.h"

namespace {

const char kFormatLine[] = "format=quelmar sweep recording 1";
const char kPrefix[] = "sweep_";
const char kSuffix[] = ".wav";

// ---- metadata ---------------------------------------------------------

void AddLine(std::string* text, const char* key, const std::string& value) {
  *text += key;
  *text += '=';
  *text += value;
  *text += '\n';
}

std::string Exact(double v) {
  char s[40];
  snprintf(s, sizeof s, "%.17g", v);
  return s;
}

bool ReadLong(const std::string& s, long lowest, long highest, long* out) {
  if (s.empty() || s.size() > 20) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = strtoll(s.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < lowest || v > highest) return false;
  *out = static_cast<long>(v);
  return true;
}

bool ReadDouble(const std::string& s, double* out) {
  if (s.empty() || s.size() > 60) return false;
  char* end = nullptr;
  const double v = strtod(s.c_str(), &end);
  if (*end != '\0' || !std::isfinite(v)) return false;
  *out = v;
  return true;
}

// ---- the WAV file -----------------------------------------------------

// Little-endian fields of the header.
void Put16(std::string* b, unsigned v) {
  unsigned char bytes[2];
  Decon2(v, bytes);
  b->append(reinterpret_cast<const char*>(bytes), 2);
}

void Put32(std::string* b, uint32_t v) {
  unsigned char bytes[4];
  Decon4(v, bytes);
  b->append(reinterpret_cast<const char*>(bytes), 4);
}

// One INFO sub-chunk: a zero-terminated text, padded to an even size.
void PutInfo(std::string* b, const char* id, const std::string& text) {
  b->append(id, 4);
  Put32(b, static_cast<uint32_t>(text.size() + 1));
  b->append(text);
  b->push_back('\0');
  if ((text.size() + 1) % 2) b->push_back('\0');
}

// Everything before the samples: RIFF header, fmt, LIST/INFO, data header.
// Returns false when the file would exceed the 4 GiB a RIFF file can hold.
bool WavHeader(const RecordingInfo& info, long frames, std::string* out) {
  std::string list = "INFO";
  PutInfo(&list, "ISFT", "Quelmar");
  PutInfo(&list, "ICRD", info.date.substr(0, 10));
  PutInfo(&list, "ICMT", FormatRecordingInfo(info));
  const uint64_t data = static_cast<uint64_t>(frames) * 6;
  const uint64_t riff = 4 + (8 + 16) + (8 + list.size()) + 8 + data;
  if (riff > 0xffffffffULL) return false;
  std::string& b = *out;
  b = "RIFF";
  Put32(&b, static_cast<uint32_t>(riff));
  b += "WAVEfmt ";
  Put32(&b, 16);
  Put16(&b, 1);  // PCM
  Put16(&b, 2);  // channels
  Put32(&b, info.rate);
  Put32(&b, info.rate * 6);  // bytes per second
  Put16(&b, 6);              // bytes per frame
  Put16(&b, 24);             // bits per sample
  b += "LIST";
  Put32(&b, static_cast<uint32_t>(list.size()));
  b += list;
  b += "data";
  Put32(&b, static_cast<uint32_t>(data));
  return true;
}

// Writes the header and the samples, interleaved 16384 frames at a time
// straight from the block. Returns 0 or errno.
int WriteWav(int fd, const std::string& header, const unsigned char* block, long stride,
             long frames) {
  int err = WriteAll(fd, header.data(), header.size());
  const long kChunk = 16384;
  std::vector<unsigned char> chunk(static_cast<size_t>(kChunk) * 6);
  for (long at = 0; err == 0 && at < frames; at += kChunk) {
    const long n = frames - at < kChunk ? frames - at : kChunk;
    const unsigned char* a = block + at * 3;
    const unsigned char* b = block + stride + at * 3;
    unsigned char* out = chunk.data();
    for (long i = 0; i < n; ++i, a += 3, b += 3, out += 6) {
      memcpy(out, a, 3);
      memcpy(out + 3, b, 3);
    }
    err = WriteAll(fd, reinterpret_cast<const char*>(chunk.data()), static_cast<size_t>(n) * 6);
  }
  // No fsync: like the result file, the recording is left to the system to
  // store; a sync costs the run several milliseconds of its CPU budget.
  return err;
}

// The number of a name sweep_NNN.wav, or -1.
long RecordingNumber(const char* name) {
  const size_t len = strlen(name), pre = strlen(kPrefix), suf = strlen(kSuffix);
  if (len <= pre + suf || len > pre + suf + 9 || strncmp(name, kPrefix, pre) != 0 ||
      strcmp(name + len - suf, kSuffix) != 0)
    return -1;
  long n = 0;
  for (size_t i = pre; i < len - suf; ++i) {
    if (name[i] < '0' || name[i] > '9') return -1;
    n = n * 10 + (name[i] - '0');
  }
  return n;
}

long HighestNumber(const std::string& folder, std::string* name) {
  long best = 0;
  DIR* d = opendir(folder.c_str());
  if (!d) return 0;
  while (dirent* e = readdir(d)) {
    const long n = RecordingNumber(e->d_name);
    if (n > best) {
      best = n;
      if (name) *name = e->d_name;
    }
  }
  closedir(d);
  return best;
}

std::string RecordingName(long n) {
  char s[40];
  snprintf(s, sizeof s, "%s%03ld%s", kPrefix, n, kSuffix);
  return s;
}

// Gives the finished temporary file the first free name from `n` on,
// without ever replacing a file. A hard link does it in one step; where the
// file system has none, the name is claimed empty and then renamed over.
int Publish(const char* temp, long n, std::string* name) {
  for (int tries = 0; tries < 1000; ++tries, ++n) {
    *name = RecordingName(n);
    if (link(temp, name->c_str()) == 0) {
      unlink(temp);
      return 0;
    }
    if (errno == EEXIST) continue;
    if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS) return errno;
    const int fd = open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) return errno;
    close(fd);
    if (rename(temp, name->c_str()) == 0) return 0;
    const int err = errno;
    unlink(name->c_str());
    return err;
  }
  return EEXIST;
}

}  // namespace

std::string FormatRecordingInfo(const RecordingInfo& info) {
  std::string t = std::string(kFormatLine) + "\n";
  AddLine(&t, "start_freq", Exact(info.start_freq));
  AddLine(&t, "end_freq", Exact(info.end_freq));
  AddLine(&t, "sweep_frames", std::to_string(info.sweep_frames));
  AddLine(&t, "total_frames", std::to_string(info.total_frames));
  AddLine(&t, "lead_frames", std::to_string(info.lead_frames));
  AddLine(&t, "sweep_rate", std::to_string(info.sweep_rate));
  AddLine(&t, "amplitude", Exact(info.amplitude));
  AddLine(&t, "sync_out", std::to_string(info.sync_out));
  AddLine(&t, "sync_frames", std::to_string(info.sync_frames));
  AddLine(&t, "q", Exact(info.q));
  AddLine(&t, "bands", std::to_string(info.bands));
  AddLine(&t, "device", Printable(info.device));
  AddLine(&t, "rate", std::to_string(info.rate));
  AddLine(&t, "period", std::to_string(info.period));
  AddLine(&t, "underruns", std::to_string(info.underruns));
  AddLine(&t, "overruns", std::to_string(info.overruns));
  AddLine(&t, "date", Printable(info.date));
  return t;
}

bool ParseRecordingInfo(const char* text, size_t length, RecordingInfo* out, std::string* error) {
  const std::string all(text, length);
  if (all.compare(0, strlen(kFormatLine), kFormatLine) != 0) {
    *error = "no recording metadata (not a recording made by quelmar)";
    return false;
  }
  const char* keys[] = {"start_freq", "end_freq", "sweep_frames", "total_frames", "lead_frames",
                        "sweep_rate", "amplitude", "sync_out", "sync_frames", "q", "bands",
                        "device", "rate", "period", "underruns", "overruns", "date"};
  const size_t nkeys = sizeof keys / sizeof keys[0];
  std::string values[nkeys];
  bool seen[nkeys] = {};
  for (size_t at = 0; at < all.size();) {
    size_t end = all.find('\n', at);
    if (end == std::string::npos) end = all.size();
    const std::string line = all.substr(at, end - at);
    at = end + 1;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    for (size_t k = 0; k < nkeys; ++k) {
      if (line.compare(0, eq, keys[k]) != 0 || strlen(keys[k]) != eq) continue;
      values[k] = line.substr(eq + 1);
      seen[k] = true;
    }
  }
  for (size_t k = 0; k < nkeys; ++k) {
    if (!seen[k]) {
      *error = std::string("metadata: ") + keys[k] + " is missing";
      return false;
    }
  }
  RecordingInfo r;
  long rate = 0, sweep_rate = 0, bands = 0;
  const long kMaxFrames = 1L << 30;
  const struct {
    const char* key;
    bool ok;
  } checks[] = {
      {"start_freq", ReadDouble(values[0], &r.start_freq) && r.start_freq > 0},
      {"end_freq", ReadDouble(values[1], &r.end_freq) && r.end_freq >= r.start_freq},
      {"sweep_frames", ReadLong(values[2], 0, kMaxFrames, &r.sweep_frames)},
      {"total_frames", ReadLong(values[3], 1, kMaxFrames, &r.total_frames)},
      {"lead_frames", ReadLong(values[4], 0, kMaxFrames, &r.lead_frames) &&
                          r.sweep_frames + 2 * r.lead_frames == r.total_frames},
      {"sweep_rate", ReadLong(values[5], 1000, 768000, &sweep_rate)},
      {"amplitude", ReadDouble(values[6], &r.amplitude) && r.amplitude > 0 && r.amplitude <= 1},
      {"sync_frames", ReadLong(values[8], 1, r.total_frames, &r.sync_frames)},
      {"sync_out", ReadLong(values[7], 0, r.sync_frames - 1, &r.sync_out)},
      {"q", ReadDouble(values[9], &r.q) && r.q > 0},
      {"bands", ReadLong(values[10], 0, 1024, &bands)},
      {"rate", ReadLong(values[12], 1000, 768000, &rate)},
      {"period", ReadLong(values[13], 0, kMaxFrames, &r.period)},
      {"underruns", ReadLong(values[14], 0, kMaxFrames, &r.underruns)},
      {"overruns", ReadLong(values[15], 0, kMaxFrames, &r.overruns)},
  };
  for (const auto& c : checks) {
    if (!c.ok) {
      *error = std::string("metadata: bad value of ") + c.key;
      return false;
    }
  }
  r.sweep_rate = static_cast<unsigned>(sweep_rate);
  r.rate = static_cast<unsigned>(rate);
  r.bands = static_cast<int>(bands);
  r.device = values[11];
  r.date = values[16];
  *out = r;
  return true;
}

bool SaveRecording(const unsigned char* block, long stride, long frames, const RecordingInfo& info,
                   std::string* name, std::string* error) {
  const long next = HighestNumber(".", nullptr) + 1;
  *name = RecordingName(next);
  std::string header;
  int err = WavHeader(info, frames, &header) ? 0 : EFBIG;
  char temp[] = ".quelmar-recording-XXXXXX";
  const int fd = err ? -1 : mkstemp(temp);
  if (err == 0 && fd < 0) err = errno;
  if (fd >= 0) {
    // The file gets the permissions a newly created file would have.
    if (fchmod(fd, NewFileMode()) != 0) err = errno;
    if (err == 0) err = WriteWav(fd, header, block, stride, frames);
    if (close(fd) != 0 && err == 0) err = errno;
    if (err == 0) err = Publish(temp, next, name);
    if (err != 0) unlink(temp);
  }
  if (err == 0) return true;
  *error = "Could not write " + *name + ": " + strerror(err);
  return false;
}

std::string NewestRecording(const std::string& folder) {
  std::string name;
  HighestNumber(folder, &name);
  return name;
}
