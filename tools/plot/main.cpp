// quelmar-plot: draws result files, responses, impulse responses, waterfalls
// and distortion files as SVG charts; the kind of the first file picks the
// chart.
#include <sndfile.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/command_line.h"
#include "common/out_of_memory.h"
#include "common/outputs.h"
#include "formats/curve_file.h"
#include "formats/distortion_file.h"
#include "formats/file_io.h"
#include "formats/result_table.h"
#include "formats/waterfall_file.h"
#include "plot/derived.h"
#include "plot/svg_chart.h"

namespace {

// A result file grows by at most about 30 kB per run; anything this large is
// not one, and reading it whole would only waste memory.
constexpr size_t kMaxFileBytes = 64u << 20;

// The largest level magnitude in dB that the chart takes, as in result files.
constexpr double kMaxLevel = 10000.0;

// The longest impulse response drawn: 87 s at 48000 Hz. Its energy-time curve
// takes an FFT twice as long.
constexpr long kMaxImpulseFrames = 1L << 22;

// What a file is, told from its content.
enum class Kind { kResults, kResponse, kImpulse, kSound, kWaterfall, kDistortion, kChart, kBinary };

// The charts, each drawing files of one kind (the levels chart two).
enum class Chart { kLevels, kPhase, kImpulse, kWaterfall, kDistortion };

struct Options {
  std::vector<std::string> inputs, predicted;
  std::string output, target;
  double target_shift = 0.0;
  bool phase = false;
  int last = 0;  // 0: every run
  ChartOptions chart;
};

tool::Reader Range(const char* needs, double* lo, double* hi, bool* fixed) {
  return {needs, [=](const std::string& v) {
            return tool::ReadPair(v, ':', lo, hi) && std::fabs(*lo) <= kMaxLevel &&
                   std::fabs(*hi) <= kMaxLevel && *lo < *hi && (*fixed = true);
          }};
}

// The command line, each option read into *o.
tool::Tool CommandLine(Options* o) {
  return {
      "quelmar-plot",
      {"[FILE ...]", "FILE",
       "result file, response, impulse response, waterfall or distortion file to draw "
       "(default sweep_out.txt); the first picks the chart",
       "file", 0, -1},
      "Draws Quelmar's files as an SVG chart, named after the first file (OUT.svg\n"
      "for OUT.txt). The kind of the files picks the chart:\n"
      "  result files and responses (text): level in dB against frequency;\n"
      "    with --phase, a response's phase and group delay against frequency;\n"
      "  impulse responses (mono WAV, quelmar-analyze --ir): the impulse and its\n"
      "    energy-time curve against time in ms;\n"
      "  waterfall files (\"* Time(ms):\" blocks): a heat map of level over\n"
      "    frequency and time, one per file;\n"
      "  distortion files (quelmar-analyze --distortion): H2, H3 and THD relative\n"
      "    to the fundamental against frequency, in dB and percent, noise floors\n"
      "    dashed and marked.",
      {{'o', nullptr, "OUT.svg", "chart to write (default: the first file's name with .svg)",
        tool::FileName(&o->output)},
       {0, "phase", nullptr, "draw the phase and group delay of responses instead of levels",
        tool::Switch(&o->phase)},
       {0, "target", "FILE", "target curve of freq dB lines, drawn as a grey band",
        tool::FileName(&o->target)},
       {0, "target-shift", "DB",
        "move the target by DB dB, such as the shift quelmar-eq printed (default 0)",
        tool::Number(&o->target_shift, -500.0, 500.0, "a number of dB from -500 to 500")},
       {0, "predicted", "FILE", "prediction of quelmar-eq, drawn dashed; more than once if needed",
        tool::FileNames(&o->predicted)},
       {0, "last", "N", "draw only the newest N runs of each result file",
        tool::Whole(&o->last, 1, INT_MAX)},
       {0, "db-range", "LO:HI",
        "levels shown, such as -30:10 (default: every level but far outliers below the bulk)",
        Range("LO:HI in dB with LO below HI, such as -30:10", &o->chart.db_lo, &o->chart.db_hi,
              &o->chart.fixed_range)},
       {0, "time-range", "LO:HI",
        "time shown in ms for impulse responses and waterfalls, such as 0:50 (default: all)",
        Range("LO:HI in ms with LO below HI, such as 0:50", &o->chart.ms_lo, &o->chart.ms_hi,
              &o->chart.fixed_time)},
       {0, "title", "TEXT", "title of the chart (default: the chart's kind)",
        tool::Text(&o->chart.title)}},
      "A file with a \"Results:\" block is a result file: each block is one run,\n"
      "named \"run N\" in file order, after the file name when several result files\n"
      "are drawn. A text file with \"* Time(ms):\" lines is a waterfall, one with the\n"
      "line \"* Freq(Hz), Fundamental(dB), H2(dB), H3(dB), THD(%)\" a distortion file.\n"
      "Any other text file is a response: lines of frequency, level in dB and\n"
      "optional phase, separated by spaces, tabs or commas; lines that do not begin\n"
      "with a number (\"*\" headers) are skipped. Lines are named by their files'\n"
      "base names. Bands without data are left as gaps. Levels outside the range\n"
      "run along the frame's edge, marked by a triangle."};
}

// One file named on the command line, read.
struct Input {
  std::string path, name;  // name: in the legend
  LineRole role = LineRole::kMeasured;
  Kind kind = Kind::kResponse;
  const char* format = "";      // a sound file's: "WAV", "FLAC", ...
  int channels = 0;
  std::vector<ResultRun> runs;  // a result file's runs
  size_t first = 0;             // the first run drawn
  Curve curve;                  // a response, target or prediction
  std::vector<double> samples;  // an impulse response
  double rate = 0.0;
  std::vector<WaterfallSlice> slices;  // a waterfall
  DistortionTable distortion;          // a distortion file
  Curve curves[3];                     // ... its H2, H3 and THD
  std::vector<bool> floors[3];         // ... and where each is a noise floor
};

// What a kind is called in messages, and how to draw a file of it.
std::string KindName(const Input& in) {
  switch (in.kind) {
    case Kind::kResults: return "a result file";
    case Kind::kResponse: return "a response";
    case Kind::kImpulse: return tool::Format("a %s file of one channel", in.format);
    case Kind::kSound:
      return tool::Format(in.channels == 2 ? "a recording (a %s file of two channels)"
                                           : "a %s file of several channels",
                          in.format);
    case Kind::kWaterfall: return "a waterfall file";
    case Kind::kDistortion: return "a distortion file";
    case Kind::kChart: return "a chart";
    default: return "not a text file";
  }
}

std::string HowToDraw(const Input& in) {
  const std::string path = in.path;
  switch (in.kind) {
    case Kind::kImpulse: return "draw an impulse response on its own: quelmar-plot " + path;
    case Kind::kSound:
      return "make its impulse response with quelmar-analyze " + path +
             " --ir IR.wav, then draw that: quelmar-plot IR.wav";
    case Kind::kWaterfall: return "draw a waterfall on its own: quelmar-plot " + path;
    case Kind::kDistortion:
      return "draw harmonic distortion on a chart of its own: quelmar-plot " + path;
    case Kind::kChart: return "give quelmar-plot the file that the chart was drawn from";
    case Kind::kBinary:
      return "give a result file, a response, an impulse response (WAV), a waterfall or a "
             "distortion file";
    default: return "draw it on a chart of levels: quelmar-plot " + path;
  }
}

std::string WrongKind(const Input& in) {
  return in.path + ": this is " + KindName(in) + "; " + HowToDraw(in);
}

// Reads a sound file through libsndfile: one channel is an impulse response.
bool ReadSound(Input* in, std::string* error) {
  SF_INFO info = {};
  SNDFILE* file = sf_open(in->path.c_str(), SFM_READ, &info);
  if (!file) {
    *error = in->path + ": a sound file that cannot be read: " + sf_strerror(nullptr);
    return false;
  }
  in->channels = info.channels;
  in->rate = info.samplerate;
  in->kind = info.channels == 1 ? Kind::kImpulse : Kind::kSound;
  if (in->kind == Kind::kImpulse && info.frames > kMaxImpulseFrames) {
    *error = in->path + tool::Format(": %lld frames, more than the %ld an impulse response may "
                                     "have here",
                                     static_cast<long long>(info.frames), kMaxImpulseFrames);
  } else if (in->kind == Kind::kImpulse) {
    in->samples.resize(static_cast<size_t>(info.frames));
    if (sf_readf_double(file, in->samples.data(), info.frames) != info.frames)
      *error = in->path + ": the sound file ends early";
    for (size_t k = 0; k < in->samples.size() && error->empty(); ++k)
      if (!std::isfinite(in->samples[k]))
        *error = in->path + tool::Format(": sample %zu is not a finite number", k);
    if (in->samples.empty()) *error = in->path + ": the sound file holds no samples";
  }
  sf_close(file);
  return error->empty();
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, strlen(prefix), prefix) == 0;
}

// Reads one file and tells its kind from its content; on failure sets
// *error to a message naming the file.
bool ReadInput(Input* in, std::string* error) {
  std::string text;
  if (!ReadWholeFile(in->path, kMaxFileBytes, &text, error)) return false;
  static const char* const kSounds[][2] = {{"RIFF", "WAV"}, {"RIFX", "WAV"}, {"RF64", "WAV"},
                                           {"FORM", "AIFF"}, {"fLaC", "FLAC"}, {"OggS", "Ogg"}};
  for (const auto& sound : kSounds)
    if (StartsWith(text, sound[0])) return in->format = sound[1], ReadSound(in, error);
  std::string why;
  if (StartsWith(text, "<?xml") || StartsWith(text, "<svg") || StartsWith(text, "\x89PNG")) {
    in->kind = Kind::kChart;
  } else if (memchr(text.data(), '\0', std::min<size_t>(text.size(), 4096))) {
    in->kind = Kind::kBinary;
  } else if (HasDistortionColumns(text.data(), text.size())) {
    in->kind = Kind::kDistortion;
    if (!ParseDistortion(text.data(), text.size(), &in->distortion, &why))
      return *error = in->path + ": " + why, false;
    DistortionCurves(in->distortion, in->curves, in->floors);
  } else if (StartsWith(text, "* Time(ms):") || text.find("\n* Time(ms):") != text.npos) {
    in->kind = Kind::kWaterfall;
    if (!ParseWaterfall(text.data(), text.size(), &in->slices, &why))
      return *error = in->path + ": " + why, false;
  } else if (HasResultsBlock(text.data(), text.size())) {
    in->kind = Kind::kResults;
    if (!ParseResults(text.data(), text.size(), &in->runs, &why))
      return *error = in->path + ": " + why, false;
  } else {
    if (!ParseCurve(text.data(), text.size(), &in->curve, &why))
      return *error = in->path + ": " + why, false;
    if (in->curve.freq.empty())
      return *error = in->path + (text.empty() ? ": the file is empty"
                                               : ": no \"Results:\" block and no line of "
                                                 "frequency and level") +
                      ": nothing to plot",
             false;
    for (size_t k = 0; k < in->curve.db.size(); ++k)
      if (std::fabs(in->curve.db[k]) > kMaxLevel)
        return *error = in->path + tool::Format(": expected levels between -10000 and 10000 dB, "
                                                "found %g dB at %g Hz",
                                                in->curve.db[k], in->curve.freq[k]),
               false;
  }
  return true;
}

// Whether `chart` draws files of in's kind; *error says why not.
bool Draws(Chart chart, const Input& in, std::string* error) {
  bool fits = false;
  switch (chart) {
    case Chart::kLevels: fits = in.kind == Kind::kResults || in.kind == Kind::kResponse; break;
    case Chart::kPhase:
      if (in.kind == Kind::kResults)
        return *error = in.path + ": this is a result file, whose bands have no phase; --phase "
                                  "draws responses with a phase column, as quelmar-analyze "
                                  "writes them",
               false;
      if (in.kind == Kind::kResponse && in.curve.phase.empty())
        return *error = in.path + ": this response has no phase column; --phase draws "
                                  "responses with one, as quelmar-analyze writes them",
               false;
      fits = in.kind == Kind::kResponse;
      break;
    case Chart::kImpulse: fits = in.kind == Kind::kImpulse; break;
    case Chart::kWaterfall: fits = in.kind == Kind::kWaterfall; break;
    case Chart::kDistortion: fits = in.kind == Kind::kDistortion; break;
  }
  if (!fits) *error = WrongKind(in);
  return fits;
}

const char* ChartName(Chart chart) {
  switch (chart) {
    case Chart::kLevels: return "a chart of levels";
    case Chart::kPhase: return "the phase chart";
    case Chart::kImpulse: return "a chart of impulse responses";
    case Chart::kDistortion: return "a distortion chart";
    default: return "a waterfall";
  }
}

// "room.txt" gives "room.svg", "a/b" "a/b.svg".
std::string ChartFile(std::string input, const char* suffix) {
  const size_t slash = input.rfind('/'), dot = input.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1))
    input.resize(dot);
  return input + suffix;
}

// Each file's name in the legend: its base name, or its path as given when
// another file has the same base name.
void NameInputs(std::vector<Input*>& all) {
  auto base = [](const std::string& path) { return path.substr(path.rfind('/') + 1); };
  for (Input* in : all) {
    in->name = base(in->path);
    for (const Input* other : all)
      if (other->path != in->path && base(other->path) == in->name) in->name = in->path;
  }
}

// "runs 2 to 3 of 3" or "run 1 of 1".
std::string RunsShown(const Input& in) {
  const size_t n = in.runs.size();
  if (n - in.first == 1) return tool::Format("run %d of %zu", in.runs[in.first].number, n);
  return tool::Format("runs %d to %d of %zu", in.runs[in.first].number, in.runs.back().number, n);
}

int Main(int argc, char** argv) {
  // Huge inputs are read whole; FFTW works on impulse responses.
  tool::ExitOnOutOfMemory("not enough memory");
  Options o;
  if (auto status = tool::ParseCommandLine(CommandLine(&o), argc, argv, &o.inputs)) return *status;
  if (o.inputs.empty()) o.inputs.push_back("sweep_out.txt");

  std::vector<Input> inputs(o.inputs.size()), overlays(o.predicted.size() + !o.target.empty());
  std::vector<Input*> all;
  for (size_t i = 0; i < inputs.size(); ++i) {
    inputs[i].path = o.inputs[i];
    all.push_back(&inputs[i]);
  }
  for (size_t i = 0; i < overlays.size(); ++i) {
    overlays[i].path = i < o.predicted.size() ? o.predicted[i] : o.target;
    overlays[i].role = i < o.predicted.size() ? LineRole::kPredicted : LineRole::kTarget;
    all.push_back(&overlays[i]);
  }
  std::string error;
  for (Input* in : all)
    if (!ReadInput(in, &error)) return tool::Fail(error);

  const Kind first = inputs[0].kind;
  const Chart chart = first == Kind::kImpulse      ? Chart::kImpulse
                      : first == Kind::kWaterfall  ? Chart::kWaterfall
                      : first == Kind::kDistortion ? Chart::kDistortion
                      : o.phase                    ? Chart::kPhase
                                                   : Chart::kLevels;
  const bool over_frequency = chart == Chart::kLevels || chart == Chart::kPhase;
  if (o.phase && !over_frequency)
    return tool::Fail(inputs[0].path + ": this is " + KindName(inputs[0]) +
                      "; --phase draws responses");
  if (o.chart.fixed_time && chart == Chart::kDistortion)
    return tool::Fail(std::string("option '--time-range' does not apply to ") + ChartName(chart));
  if (o.chart.fixed_range && chart == Chart::kPhase)
    return tool::Fail("option '--db-range' sets levels, which the phase chart does not show");
  if (o.chart.fixed_time && over_frequency)
    return tool::Fail(std::string("option '--time-range' does not apply to ") + ChartName(chart));
  if (!overlays.empty() && !over_frequency)
    return tool::Fail(std::string("--target and --predicted do not apply to ") +
                      ChartName(chart));
  if (!o.target.empty() && chart == Chart::kPhase)
    return tool::Fail("--target draws on the chart of levels, not with --phase");
  for (const Input& in : inputs)
    if (!Draws(chart, in, &error)) return tool::Fail(error);
  for (const Input& in : overlays)
    if (in.kind != Kind::kResponse || !Draws(chart, in, &error))
      return tool::Fail(in.kind != Kind::kResponse
                            ? in.path + ": this is " + KindName(in) + "; " +
                                  (in.role == LineRole::kTarget ? "--target" : "--predicted") +
                                  " takes a response or a curve of freq dB lines"
                            : error);

  if (o.output.empty())
    o.output = ChartFile(o.inputs[0], chart == Chart::kPhase ? "-phase.svg" : ".svg");
  std::vector<std::string> read = o.inputs;
  for (const Input& in : overlays) read.push_back(in.path);
  tool::Outputs files(read);
  if (!files.Name(o.output)) return 1;
  NameInputs(all);

  std::string svg, summary;
  for (const Input* in : all)
    summary += (summary.empty() ? "" : ", ") + in->path;
  if (chart == Chart::kImpulse) {
    std::vector<ImpulseLine> lines;
    for (const Input& in : inputs) lines.push_back({in.name, &in.samples, in.rate});
    WriteImpulseChart(lines.data(), lines.size(), o.chart, &svg);
  } else if (chart == Chart::kWaterfall) {
    std::vector<WaterfallMap> maps;
    for (const Input& in : inputs) maps.push_back({in.name, &in.slices});
    WriteWaterfallChart(maps.data(), maps.size(), o.chart, &svg);
  } else if (chart == Chart::kDistortion) {
    // H2, H3 and THD of each file, after the file's name when several are drawn.
    std::vector<ChartLine> lines;
    for (const Input& in : inputs)
      for (int k = 0; k < 3; ++k)
        lines.push_back({(inputs.size() > 1 ? in.name + ": " : "") + (k < 2 ? "H" : "") +
                             (k < 2 ? std::to_string(k + 2) : "THD"),
                         nullptr, &in.curves[k], LineRole::kMeasured, &in.floors[k]});
    WriteDistortionChart(lines.data(), lines.size(), o.chart, &svg);
  } else {
    // Runs keep their numbers, after the file's name when several result
    // files are drawn; overlays are named by their role.
    size_t result_files = 0;
    for (Input& in : inputs) {
      if (in.kind != Kind::kResults) continue;
      ++result_files;
      if (o.last > 0 && static_cast<size_t>(o.last) < in.runs.size())
        in.first = in.runs.size() - static_cast<size_t>(o.last);
    }
    std::vector<ChartLine> lines;
    summary.clear();
    for (const Input& in : inputs) {
      if (!summary.empty()) summary += ", ";
      if (in.kind == Kind::kResponse) {
        lines.push_back({in.name, nullptr, &in.curve});
        summary += in.path;
        continue;
      }
      const std::string prefix = result_files > 1 ? in.name + ": " : "";
      for (size_t r = in.first; r < in.runs.size(); ++r)
        lines.push_back({prefix + "run " + std::to_string(in.runs[r].number), &in.runs[r]});
      summary += inputs.size() > 1 ? in.path + " (" + RunsShown(in) + ")" : RunsShown(in);
    }
    for (Input& in : overlays) {
      const bool target = in.role == LineRole::kTarget;
      if (target)
        for (double& db : in.curve.db) db += o.target_shift;
      std::string role = target ? "target" : "predicted";
      // A shift that prints as 0.0 is not named: never "moved by -0.0 dB".
      if (target && std::fabs(o.target_shift) >= 0.05)
        role += tool::Format(", moved by %+.1f dB", o.target_shift);
      lines.push_back({in.name + " (" + role + ")", nullptr, &in.curve, in.role});
      summary += ", " + in.path + " (" + role + ")";
    }
    if (chart == Chart::kPhase) {
      WritePhaseChart(lines.data(), lines.size(), o.chart, &svg);
    } else {
      WriteSvgChart(lines.data(), lines.size(), o.chart, &svg);
    }
  }
  files.Write(o.output, svg);
  if (!files.Commit()) return 1;
  printf("Wrote %s: %s\n", Printable(o.output).c_str(), Printable(summary).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return tool::Finish(Main(argc, argv)); }
