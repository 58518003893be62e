// The recording every run keeps: a RIFF/WAVE file of both captured inputs
// (24-bit PCM at the granted rate, channel 1 the microphone, channel 2 the
// loopback) whose INFO comment holds everything needed to analyse it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "dsp/input_one.h"
#include "dsp/sweep.h"

// How a run was timed: by the click on output 2 looped back to input 2, or
// acoustically, by markers on output 1 found in the microphone's signal (a
// microphone on a clock of its own, with no loopback).
enum class Timing { kLoopback, kAcoustic };

// What quelmar-measure adds to its recordings; the program's have none of it.
struct Measurement {
  bool present = false;  // the rows below are in the metadata
  Timing timing = Timing::kLoopback;
  std::string capture_device;  // the microphone's device
  double drift_ppm = 0.0;      // the capture clock against the playback clock
  // Acoustic timing: the markers on output 1 (frames as played) and the
  // recorded frame where the first arrived by its loudest path.
  long marker_frames = 0, marker_a = 0, marker_b = 0;
  long marker_arrival = 0;
};

struct RecordingInfo {
  SweepSpec sweep;        // what output 1 played, its markers aside: SweepSamples gives it back
  long total_frames = 0;  // frames recorded: the sweep's lead, sweep and tail
  // The sync pulse on output 2: its peak and the window searched for it.
  long sync_out = 0;
  long sync_frames = 0;
  // The band plan.
  double q = 0.0;
  int bands = 0;
  // The device and what it granted.
  std::string device;
  unsigned rate = 0;  // granted frames per second
  long period = 0;    // granted period in frames
  long underruns = 0;
  long overruns = 0;
  std::string date;  // UTC, as 2026-01-31T12:00:00Z
  Measurement measured;
};

// The key=value lines stored in the recording's comment: a format line, the
// sweep's lines, then the recording's own. Numbers are written so that they
// read back exactly; a text value too long for what readers keep of a
// comment is cut, and its key added to *shortened.
std::string FormatRecordingInfo(const RecordingInfo& info, std::vector<std::string>* shortened);

// Where the microphone's recording holds what, for the input-1 checks, with
// played frame 0 recorded at frame `latency`: the background before the
// sweep (with acoustic timing, before the first marker), the sweeps, and for
// the bass the first sweep, if it passes through 20-200 Hz.
InputOneStretches MicrophoneStretches(const RecordingInfo& info, long latency);

// The played frames whose recording holds the sweeps and the room's decay
// after them, and nothing else: with acoustic timing, from halfway through
// the silence after the first marker up to the second marker.
FrameRange SweepResponseFrames(const RecordingInfo& info);

// Reads the lines FormatRecordingInfo writes from text[0 .. length), which
// may hold any bytes, and those of recordings made before sweeps had kinds.
// Unknown keys are ignored. On a fault returns false, leaves *out as it was
// and sets *error to what is wrong.
bool ParseRecordingInfo(const char* text, size_t length, RecordingInfo* out, std::string* error);

// Recordings are named sweep_NNN.wav: the number in at least three digits,
// and any number of digits read back, up to kMaxRecordingNumber.
constexpr long kMaxRecordingNumber = 999999999999999999;
std::string RecordingName(long number);
// The number of a recording's name, or -1 for any other name.
long RecordingNumber(const char* name);

struct SavedRecording {
  bool ok = false;
  std::string name;                    // the file written
  std::vector<std::string> shortened;  // metadata keys whose values were cut
  std::string error;                   // "Could not write NAME: reason"
};

// A recording written while it is captured, so that memory does not grow
// with its length. The frames go to a hidden temporary file beside the
// recording as they come; FinishRecording then writes the header, whose
// metadata may hold what is known only at the end (xruns, clock drift), and
// the frames into a second one, and gives that its name (or, when the
// header written at the start still holds, names the first). The recording
// appears whole or not at all: the writer removes its temporary files
// whatever happens.
struct RecordingWriter {
  std::string target;  // the file to write, as named; empty: the next sweep_NNN.wav here
  std::string path;    // the target, links followed
  std::string folder;  // where the recording and the temporary files go
  std::string frames_file;
  std::string header;  // written before the frames, when known at the start
  int fd = -1;
  long frames = 0;
  int err = 0;  // the first error (errno); once set, nothing more is written
  RecordingWriter() = default;
  RecordingWriter(const RecordingWriter&) = delete;
  RecordingWriter& operator=(const RecordingWriter&) = delete;
  ~RecordingWriter();
};

// Starts a recording that will be `target` (through symbolic links; an
// existing file is replaced at the end), or with an empty target the next
// sweep_NNN.wav in the working folder. With the metadata `known` (whose
// total_frames are those to come) the header goes before the frames at
// once, and FinishRecording needs no second file if it is unchanged.
// Returns 0 or errno.
int StartRecording(const std::string& target, RecordingWriter* w,
                   const RecordingInfo* known = nullptr);

// Appends `frames` frames of both channels, each as packed S24_3LE samples.
// Returns 0 or errno (also the first error of an earlier call).
int AppendRecording(RecordingWriter* w, const unsigned char* ch1, const unsigned char* ch2,
                    long frames);

// The number of frames a recording may hold: the file stays within the
// 4 GiB that a RIFF file can address.
constexpr long kMaxRecordingFrames = (0xffffffffL - 65536) / 6;

// Writes the recording with the metadata `info` (whose total_frames must be
// the frames appended) and gives it its name: `target`, or the number one
// above the highest there (the first free one when none was removed), so
// that names sort in run order and no existing file is replaced.
SavedRecording FinishRecording(RecordingWriter* w, const RecordingInfo& info);

// The program's recording: `frames` frames of a capture block (two
// non-interleaved channels of S24_3LE samples, `stride` bytes apart) as the
// next sweep_NNN.wav in the working folder, through a RecordingWriter.
SavedRecording SaveRecording(const unsigned char* block, long stride, long frames,
                             const RecordingInfo& info);

// The recording with the highest number in `folder`; empty when none.
std::string NewestRecording(const std::string& folder);
