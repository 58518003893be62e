#include "formats/waterfall_file.h"

#include "formats/fixed_text.h"

namespace {

const char kTimeLine[] = "* Time(ms):";
const int kTimeDecimals = 2, kFreqDecimals = 4, kDbDecimals = 2;
const double kLargest = 1e9;

}  // namespace

std::string FormatWaterfall(const std::vector<WaterfallSlice>& slices) {
  std::string text;
  for (const WaterfallSlice& slice : slices) {
    text += std::string(kTimeLine) + " " + Fixed(slice.time_ms, kTimeDecimals) + "\n";
    for (size_t k = 0; k < slice.freq.size() && k < slice.db.size(); ++k)
      text += Fixed(slice.freq[k], kFreqDecimals) + ", " + Fixed(slice.db[k], kDbDecimals) + "\n";
  }
  return text;
}

bool ParseWaterfall(const char* text, size_t length, std::vector<WaterfallSlice>* out,
                    std::string* error) {
  std::vector<WaterfallSlice> slices;
  TextLines lines(text, length);
  const char* line;
  size_t size;
  while (lines.Next(&line, &size)) {
    const long n = lines.number;
    const size_t time_size = sizeof kTimeLine - 1;
    if (LineStarts(line, size, kTimeLine)) {
      WaterfallSlice slice;
      if (!ReadFixedFields(line + time_size, size - time_size, &kTimeDecimals, 1, kLargest,
                           &slice.time_ms))
        return LineFault(n, "expected a time in milliseconds", error);
      if (!slices.empty() && slices.back().freq.empty())
        return LineFault(n, "the slice before holds no frequencies", error);
      if (!slices.empty() && slice.time_ms <= slices.back().time_ms)
        return LineFault(n, "times must rise from slice to slice", error);
      slices.push_back(slice);
      continue;
    }
    // "freq, dB": two fields, the comma optional.
    size_t i = 0;
    while (i < size && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i == size || line[i] == '*') continue;
    static const int kDecimals[] = {kFreqDecimals, kDbDecimals};
    double v[2];
    if (!ReadFixedFields(line, size, kDecimals, 2, kLargest, v))
      return LineFault(n, "expected a frequency and a level in dB", error);
    if (slices.empty()) return LineFault(n, "a frequency before the first time line", error);
    std::vector<double>& f = slices.back().freq;
    if (!(v[0] > 0.0)) return LineFault(n, "frequency must be above 0 Hz", error);
    if (!f.empty() && v[0] <= f.back())
      return LineFault(n, "frequencies must rise within a slice", error);
    f.push_back(v[0]);
    slices.back().db.push_back(v[1]);
  }
  if (slices.empty() || slices.back().freq.empty())
    return LineFault(lines.number,
                     slices.empty() ? "no time slice" : "the last slice holds no frequencies",
                     error);
  *out = std::move(slices);
  return true;
}
