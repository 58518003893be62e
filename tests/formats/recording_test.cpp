// The recording every run keeps: its metadata written and read through one
// table (recordings made before sweeps had kinds included), its numbering,
// and recordings that quelmar-analyze must refuse, made by the built program
// on the virtual card.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "dsp/sweep.h"
#include "formats/recording.h"
#include "formats/result_table.h"
#include "support/process.h"
#include "support/transcript.h"

namespace {

bool Parse(const std::string& text, RecordingInfo* r, std::string* error) {
  return ParseRecordingInfo(text.data(), text.size(), r, error);
}

std::vector<std::string> cut;  // values cut to fit: none here
std::string Format(const RecordingInfo& r) { return FormatRecordingInfo(r, &cut); }

// As the program wrote it before sweeps had kinds, byte for byte; written
// today, the same recording names its sweep's kind, tail and step too.
TEST(RecordingInfo, ReadsRecordingsMadeBeforeSweepsHadKinds) {
  const std::string old = "format=quelmar sweep recording 1\nstart_freq=18\nend_freq=16075\n"
                          "sweep_frames=48000\ntotal_frames=96000\nlead_frames=24000\n"
                          "sweep_rate=48000\namplitude=0.5\nsync_out=24032\nsync_frames=40384\n"
                          "q=1.3\nbands=12\ndevice=loopback\nrate=48000\nperiod=1024\n"
                          "underruns=0\noverruns=0\ndate=2026-12-07T13:27:09Z\n";
  RecordingInfo r;
  std::string error;
  ASSERT_TRUE(Parse(old, &r, &error)) << error;
  std::vector<int32_t> then(96000), now(96000);  // the played sweep, bit for bit
  std::vector<double> freqs(96000);
  MakeSweep(48000, then.data(), freqs.data(), 18, 16075, 96000, 0.5, 24000);
  SweepSamples(r.sweep, 0, 96000, now.data());
  EXPECT_EQ(now, then);
  EXPECT_EQ(Format(r), "format=quelmar sweep recording 1\nsweep_kind=linear\nstart_freq=18\n"
                       "end_freq=16075\nsweep_frames=48000\nlead_frames=24000\ntail_frames=24000\n"
                       "sweep_rate=48000\namplitude=0.5\nstep_frames=96000\ntotal_frames=96000\n" +
                           old.substr(old.find("sync_out")));
}

// Each line of the metadata of both kinds removed, then given a value no
// number has: refused unless the key holds text, or the line is the linear
// sweep's kind (the text then reads as one made before sweeps had kinds, the
// same). Random damage is refused with a metadata message, or gives values
// that write and read back the same.
TEST(RecordingInfo, DamageIsRefusedOrReadsBackTheSame) {
  std::mt19937 rng(2026);
  const char kAlphabet[] = "0123456789.-+e=\n\0\xff" "abq_";
  long refused = 0, read_back = 0;
  SweepSpec repeated = LogSweep(20, 20000, 3, 96000, 0.25, 4800, 96000);
  repeated.repeats = 3;
  for (const SweepSpec& sweep : {ProgramSweep(48000, 18.7, 16175, 528000, 0.5, 24000),
                                 LogSweep(20, 20000, 3, 96000, 0.25, 4800, 96000), repeated}) {
    RecordingInfo info, r;
    info.sweep = sweep, info.total_frames = SweepTotalFrames(sweep), info.sync_out = 24032;
    info.sync_frames = 40384, info.q = 1.0 / 3, info.bands = 31, info.device = "hw:CARD=x\nq=1";
    info.rate = 44100, info.period = 1000, info.underruns = 2;
    // quelmar-measure's rows, with acoustic timing.
    if (sweep.repeats > 1)
      info.measured = {true, Timing::kAcoustic, "usbmic", -99.5, 4800, 0, info.total_frames - 4800, 123};
    const std::string text = Format(info);
    std::string error;
    ASSERT_TRUE(Parse(text, &r, &error)) << error;
    EXPECT_TRUE(Format(r) == text && r.device == "hw:CARD=x?q=1");
    for (size_t at = text.find('\n') + 1; at < text.size(); at = text.find('\n', at) + 1) {
      const size_t eq = text.find('=', at), end = text.find('\n', at);
      const std::string key = text.substr(at, eq - at);
      // Without its timing a recording reads as the program's, without the
      // rows that follow.
      const bool may_lack = (key == "sweep_kind" && sweep.kind == SweepKind::kLinear) || key == "timing";
      EXPECT_EQ(Parse(text.substr(0, at) + text.substr(end + 1), &r, &error), may_lack) << key;
      EXPECT_TRUE(!may_lack || key == "timing" || Format(r) == text) << key;
      const bool text_value = key == "device" || key == "date" || key == "capture_device";
      EXPECT_EQ(Parse(text.substr(0, eq + 1) + "1e" + text.substr(end), &r, &error), text_value);
    }
    for (int n = 0; n < 3000; ++n) {
      std::string t = text;
      for (int edits = 1 + rng() % 4; edits > 0 && !t.empty(); --edits) {
        const size_t at = rng() % t.size();
        if (rng() % 3 == 0) t.erase(at, rng() % 40);
        else t[at] = kAlphabet[rng() % (sizeof kAlphabet - 1)];
      }
      if (!Parse(t, &r, &error)) {
        ASSERT_TRUE(error.rfind("metadata: ", 0) == 0 || error.rfind("no recording", 0) == 0);
        ++refused;
        continue;
      }
      RecordingInfo again;
      ASSERT_TRUE(Parse(Format(r), &again, &error) && Format(again) == Format(r)) << t;
      ++read_back;
    }
  }
  printf("recording metadata totals: %ld of 9000 damaged texts refused, %ld read back\n", refused,
         read_back);
  EXPECT_TRUE(refused > 1000 && read_back > 200 && cut.empty());
}

// 1024 rows, each longer than a line buffer, are written whole.
TEST(ResultTable, WritesRowsOfAnyLength) {
  std::vector<double> edges(1025, 1e300), level(1024, kNoDataLevel);
  level[0] = 0;
  const std::string edge = std::to_string(1e300).substr(0, 301);
  std::string rows = "Results:\nBand\tRange (Hz)\tdB\n";
  for (int k = 1; k <= 1024; ++k)
    rows += std::to_string(k) + "\t" + edge + "\t" + edge + (k > 1 ? "\t-144.0\n" : "\t0.0\n");
  EXPECT_EQ(FormatReport(1024, edges.data(), edges.data() + 1, level.data()), rows);
}

// Recordings the program makes on the loopback card. A device name longer
// than a comment can hold is cut there, with a note on standard error
// (standard output is the same but for the name), and the recording stays
// readable. The number after sweep_999999999.wav is written and found as the
// newest. Input 2 with noise and no click (±40 steps), or with the click 200
// frames before it was played, cannot align a recording.
TEST(Recording, LongNamesLargeNumbersAndMissingClicks) {
  const std::string dir = MakeTempDir();
  const std::string device = "plug:{SLAVE={type=vcard,latency=64,comment=" +
                             std::string(1800, 'x') + "}}";
  auto analyze = [&](const char* wav) { return RunIn(dir, {QUELMAR_ANALYZE_BIN, wav, "-o", "r"}); };
  const ProcessResult plain = RunQuelmar("c loopback t 1 r c x", dir);
  ASSERT_EQ(rename((dir + "/sweep_001.wav").c_str(), (dir + "/sweep_999999999.wav").c_str()), 0);
  ProcessResult named = RunQuelmar("c " + device + " t 1 r c x", dir);
  for (size_t at; (at = named.out.find(device)) != std::string::npos;)
    named.out.replace(at, device.size(), "loopback");
  EXPECT_EQ(named.out, plain.out);
  EXPECT_EQ(named.err, "Note: the \"device\" value is too long for the metadata of "
                       "sweep_1000000000.wav and is cut short there.\n");
  const ProcessResult newest = RunIn(dir, {QUELMAR_ANALYZE_BIN, "-o", "r.txt"});
  EXPECT_TRUE(newest.exit_status == 0 && newest.out.rfind("sweep_1000000000.wav: ", 0) == 0)
      << newest.out << newest.err;

  const std::string wav = ReadFile(dir + "/sweep_999999999.wav");
  const size_t data = wav.find("data") + 8, frames = (wav.size() - data) / 6;
  std::string noise = wav, early = wav;
  std::mt19937 rng(40);
  for (size_t j = 0, at = data + 3; j < frames; ++j, at += 6) {
    const int32_t v = static_cast<int32_t>(rng() % 81) - 40;
    for (size_t b = 0; b < 3; ++b) {
      noise[at + b] = static_cast<char>(v >> (8 * b));
      early[at + b] = j + 17000 < frames ? wav[at + 17000 * 6 + b] : 0;
    }
  }
  WriteFile(dir + "/noise.wav", noise);
  WriteFile(dir + "/early.wav", early);
  EXPECT_NE(analyze("noise.wav").err.find("noise.wav: no sync pulse on input 2: it cannot be "
                                          "aligned\n"), std::string::npos);
  EXPECT_NE(analyze("early.wav").err.find(
                "early.wav: its sync pulse came back 16936 frames before it was played, which no "
                "card can do: it cannot be aligned\n"), std::string::npos);
  RemoveTree(dir);
}

}  // namespace
