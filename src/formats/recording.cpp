#include "formats/recording.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "dsp/acoustic_timing.h"
#include "dsp/band_plan.h"
#include "dsp/metadata_table.h"
#include "dsp/packing.h"
#include "formats/file_io.h"

namespace {

// Version 1 holds all that a reader made before sweeps had kinds needs to
// regenerate a linear sweep played once and timed by the click; anything
// else is version 2, which such a reader refuses instead of misreading it.
const char kFormatLine[] = "format=quelmar sweep recording ";
const char kPrefix[] = "sweep_";
const char kSuffix[] = ".wav";

// ---- metadata ---------------------------------------------------------

// The recording's own fields; the sweep's are the sweep's.
const MetadataTable<RecordingInfo>& Table() {
  using R = RecordingInfo;
  static const MetadataTable<R> table = {
      NumberField("total_frames", true, &R::total_frames, 1, kMaxMetadataFrames),
      NumberField("sync_out", true, &R::sync_out, 0, kMaxMetadataFrames),
      NumberField("sync_frames", true, &R::sync_frames, 1, kMaxMetadataFrames),
      NumberField("q", true, &R::q, kAboveZero, HUGE_VAL),
      NumberField("bands", true, &R::bands, 0, kMaxBands),
      TextField("device", &R::device, Printable),
      NumberField("rate", true, &R::rate, 1000, 768000),
      NumberField("period", true, &R::period, 0, kMaxMetadataFrames),
      NumberField("underruns", true, &R::underruns, 0, kMaxMetadataFrames),
      NumberField("overruns", true, &R::overruns, 0, kMaxMetadataFrames),
      TextField("date", &R::date, Printable),
  };
  return table;
}

// quelmar-measure's rows, after the recording's own.
const MetadataTable<Measurement>& MeasurementTable() {
  using M = Measurement;
  static const MetadataTable<M> table = {
      WordField<M, Timing>("timing", true, &M::timing,
                           {{"loopback", Timing::kLoopback}, {"acoustic", Timing::kAcoustic}}),
      TextField("capture_device", &M::capture_device, Printable),
      NumberField("drift_ppm", true, &M::drift_ppm, -10000, 10000),
  };
  return table;
}

// Acoustic timing's rows.
const MetadataTable<Measurement>& MarkerTable() {
  using M = Measurement;
  static const MetadataTable<M> table = {
      NumberField("marker_frames", true, &M::marker_frames, 1, kMaxMetadataFrames),
      NumberField("marker_a", true, &M::marker_a, 0, kMaxMetadataFrames),
      NumberField("marker_b", true, &M::marker_b, 0, kMaxMetadataFrames),
      NumberField("marker_arrival", true, &M::marker_arrival, 0, kMaxMetadataFrames),
  };
  return table;
}

// The markers lie before and after the sweeps, within the recording.
bool MarkersHold(const RecordingInfo& r) {
  const Measurement& m = r.measured;
  const SweepSpec& s = r.sweep;
  return m.marker_a + m.marker_frames <= s.lead_frames &&
         m.marker_b >= s.lead_frames + s.repeats * s.sweep_frames &&
         m.marker_b + m.marker_frames <= r.total_frames && m.marker_arrival < r.total_frames;
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
bool WavHeader(const RecordingInfo& info, long frames, std::string* out,
               std::vector<std::string>* shortened) {
  std::string list = "INFO";
  PutInfo(&list, "ISFT", "Quelmar");
  PutInfo(&list, "ICRD", info.date.substr(0, 10));
  PutInfo(&list, "ICMT", FormatRecordingInfo(info, shortened));
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

// Copies `from` from `offset` on to the end of `to`: in the kernel where it
// can (no copy through this process, or none at all where the file system
// shares the blocks), else through a buffer. Returns 0 or errno.
int CopyFrames(int from, off_t offset, int to) {
  if (lseek(from, offset, SEEK_SET) != offset) return errno;
  for (;;) {
    const ssize_t n = copy_file_range(from, nullptr, to, nullptr, size_t{1} << 30, 0);
    if (n == 0) return 0;
    if (n > 0 || errno == EINTR) continue;
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
    break;  // not between these files: through the buffer, from where it stopped
  }
  std::vector<char> chunk(size_t{1} << 18);
  for (;;) {
    const ssize_t n = read(from, chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    if (const int err = WriteAll(to, chunk.data(), static_cast<size_t>(n))) return err;
  }
}

// A hidden temporary file in `folder`, with the permissions a newly created
// file gets. Returns the descriptor, or -1 with errno set.
int TempFile(const std::string& folder, std::string* name) {
  std::string path = folder + "/.quelmar-recording-XXXXXX";
  const int fd = mkostemp(&path[0], O_CLOEXEC);
  if (fd < 0) return -1;
  *name = path;
  if (fchmod(fd, NewFileMode()) != 0) {
    const int err = errno;
    close(fd);
    unlink(path.c_str());
    errno = err;
    return -1;
  }
  return fd;
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

// Gives the finished temporary file the first free name from `n` on,
// without ever replacing a file. A hard link does it in one step; where the
// file system has none, the name is claimed empty and then renamed over.
int Publish(const char* temp, long n, std::string* name) {
  for (int tries = 0; tries < 1000 && n <= kMaxRecordingNumber; ++tries, ++n) {
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

std::string FormatRecordingInfo(const RecordingInfo& info, std::vector<std::string>* shortened) {
  std::string t = kFormatLine;
  const bool plain = info.sweep.kind == SweepKind::kLinear && info.sweep.repeats == 1 &&
                     !info.measured.present;
  t += plain ? "1\n" : "2\n";
  WriteSweepMetadata(info.sweep, &t);
  WriteMetadata(Table(), info, &t, shortened);
  if (info.measured.present) WriteMetadata(MeasurementTable(), info.measured, &t, shortened);
  if (info.measured.present && info.measured.timing == Timing::kAcoustic)
    WriteMetadata(MarkerTable(), info.measured, &t, shortened);
  return t;
}

bool ParseRecordingInfo(const char* text, size_t length, RecordingInfo* out, std::string* error) {
  const size_t n = strlen(kFormatLine);
  if (length <= n || memcmp(text, kFormatLine, n) != 0 || (text[n] != '1' && text[n] != '2')) {
    *error = "no recording metadata (not a recording made by quelmar)";
    return false;
  }
  const MetadataValues values = SplitMetadata(text, length);
  if (text[n] != '1' && values.count("sweep_kind") == 0) return MissingValue("sweep_kind", error);
  RecordingInfo r;
  if (!ReadMetadata(Table(), values, &r, error) ||
      !ReadSweepMetadata(values, r.total_frames, &r.sweep, error))
    return false;
  if (r.sync_frames > r.total_frames) return BadValue("sync_frames", error);
  if (r.sync_out >= r.sync_frames) return BadValue("sync_out", error);
  r.measured.present = values.count("timing") == 1;
  if (r.measured.present && !ReadMetadata(MeasurementTable(), values, &r.measured, error))
    return false;
  if (r.measured.present && r.measured.timing == Timing::kAcoustic &&
      (!ReadMetadata(MarkerTable(), values, &r.measured, error)))
    return false;
  if (r.measured.present && r.measured.timing == Timing::kAcoustic && !MarkersHold(r))
    return BadValue("marker_b", error);
  *out = r;
  return true;
}

InputOneStretches MicrophoneStretches(const RecordingInfo& r, long latency) {
  const SweepSpec& s = r.sweep;
  const long sweep = s.lead_frames + latency;
  const bool acoustic = r.measured.present && r.measured.timing == Timing::kAcoustic;
  const FrameRange noise = acoustic ? FrameRange{0, r.measured.marker_arrival -
                                                        std::lround(kMarkerBefore * r.rate)}
                                    : FrameRange{latency, sweep};
  // The bass is measured over the first sweep, if it passes through 20-200
  // Hz (played at the granted rate, which may not be the sweep's).
  const double scale = static_cast<double>(s.rate) / r.rate;
  const bool bass = SweepFrameAt(s, 200 * scale) > SweepFrameAt(s, 20 * scale);
  return {noise,
          {sweep, sweep + s.repeats * s.sweep_frames},
          {sweep, bass ? sweep + s.sweep_frames : sweep}};
}

FrameRange SweepResponseFrames(const RecordingInfo& r) {
  const Measurement& m = r.measured;
  if (!m.present || m.timing != Timing::kAcoustic) return {0, r.total_frames};
  const long quiet = m.marker_a + m.marker_frames;
  return {quiet + (r.sweep.lead_frames - quiet) / 2, m.marker_b};
}

std::string RecordingName(long number) {
  char s[48];
  snprintf(s, sizeof s, "%s%03ld%s", kPrefix, number, kSuffix);
  return s;
}

long RecordingNumber(const char* name) {
  const size_t len = strlen(name), pre = strlen(kPrefix), suf = strlen(kSuffix);
  if (len <= pre + suf || strncmp(name, kPrefix, pre) != 0 ||
      strcmp(name + len - suf, kSuffix) != 0)
    return -1;
  long n = 0;
  for (size_t i = pre; i < len - suf; ++i) {
    const int digit = name[i] - '0';
    if (digit < 0 || digit > 9 || n > (kMaxRecordingNumber - digit) / 10) return -1;
    n = n * 10 + digit;
  }
  return n;
}

RecordingWriter::~RecordingWriter() {
  if (fd >= 0) close(fd);
  if (!frames_file.empty()) unlink(frames_file.c_str());
}

int StartRecording(const std::string& target, RecordingWriter* w, const RecordingInfo* known) {
  w->target = target;
  w->path = target.empty() ? target : ResolvedName(target);
  const size_t slash = w->path.rfind('/');
  w->folder = slash == std::string::npos ? "." : w->path.substr(0, slash);
  if (w->folder.empty()) w->folder = "/";
  w->fd = TempFile(w->folder, &w->frames_file);
  if (w->fd < 0) return w->err = errno;
  std::vector<std::string> shortened;
  if (known && WavHeader(*known, known->total_frames, &w->header, &shortened))
    w->err = WriteAll(w->fd, w->header.data(), w->header.size());
  return w->err;
}

int AppendRecording(RecordingWriter* w, const unsigned char* ch1, const unsigned char* ch2,
                    long frames) {
  const long kChunk = 16384;
  std::vector<unsigned char> chunk(static_cast<size_t>(std::min(std::max(frames, 0L), kChunk)) * 6);
  if (w->err == 0 && w->frames + frames > kMaxRecordingFrames) w->err = EFBIG;
  for (long at = 0; w->err == 0 && at < frames; at += kChunk) {
    const long n = frames - at < kChunk ? frames - at : kChunk;
    const unsigned char* a = ch1 + at * 3;
    const unsigned char* b = ch2 + at * 3;
    unsigned char* out = chunk.data();
    for (long i = 0; i < n; ++i, a += 3, b += 3, out += 6) {
      memcpy(out, a, 3);
      memcpy(out + 3, b, 3);
    }
    w->err = WriteAll(w->fd, reinterpret_cast<const char*>(chunk.data()), static_cast<size_t>(n) * 6);
    if (w->err == 0) w->frames += n;
  }
  return w->err;
}

SavedRecording FinishRecording(RecordingWriter* w, const RecordingInfo& info) {
  SavedRecording saved;
  const long next = HighestNumber(w->folder, nullptr) + 1;
  saved.name = w->target.empty() ? RecordingName(next) : w->target;
  std::string header, temp = w->frames_file;
  int err = w->err;
  if (err == 0 && !WavHeader(info, w->frames, &header, &saved.shortened)) err = EFBIG;
  // The frames file is the recording when it already starts with this
  // header; otherwise the header and its frames go to a second file.
  int fd = -1;
  if (err == 0 && header != w->header) {
    fd = TempFile(w->folder, &temp);
    if (fd < 0) err = errno;
    if (fd >= 0) err = WriteAll(fd, header.data(), header.size());
    if (err == 0) err = CopyFrames(w->fd, static_cast<off_t>(w->header.size()), fd);
    // No fsync: like the result file, the recording is left to the system
    // to store; a sync costs the run several milliseconds of its CPU budget.
    if (fd >= 0 && close(fd) != 0 && err == 0) err = errno;
  }
  if (close(w->fd) != 0 && err == 0) err = errno;
  w->fd = -1;
  if (err == 0 && w->target.empty()) err = Publish(temp.c_str(), next, &saved.name);
  if (err == 0 && !w->target.empty() && rename(temp.c_str(), w->path.c_str()) != 0) err = errno;
  const bool one_file = temp == w->frames_file;
  if (one_file && err == 0) w->frames_file.clear();  // published: no longer ours to remove
  if (!one_file && err != 0) unlink(temp.c_str());
  saved.ok = err == 0;
  if (!saved.ok) saved.error = "Could not write " + saved.name + ": " + strerror(err);
  return saved;
}

SavedRecording SaveRecording(const unsigned char* block, long stride, long frames,
                             const RecordingInfo& info) {
  RecordingWriter w;
  StartRecording("", &w, &info);
  AppendRecording(&w, block, block + stride, frames);
  return FinishRecording(&w, info);
}

std::string NewestRecording(const std::string& folder) {
  std::string name;
  HighestNumber(folder, &name);
  return name;
}
