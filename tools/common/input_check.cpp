#include "common/input_check.h"

#include <cmath>

#include "common/command_line.h"

namespace tool {
namespace {

// dB as printed to a tenth: a ratio of about 1 reads 0.0, never -0.0.
double Tenths(double db) { return std::fabs(db) < 0.05 ? 0.0 : db; }

}  // namespace

std::string InputOneLines(const InputOneCheck& check, const std::string& who) {
  if (check.dead) Warn(who + kBarelyHeardText);
  if (check.clipped) Warn(who + kClippedText);
  if (!std::isnan(check.bass_snr_db) && check.bass_snr_db < kBassSnrWarning)
    Warn(who + Format("the bass (20-200 Hz) stands only %.1f dB above the background, so its "
                      "response is unreliable: play louder (--level), sweep longer (--length) or "
                      "repeat the sweep (--repeat 4).",
                      Tenths(check.bass_snr_db)));
  if (std::isnan(check.snr_db)) return "";
  std::string line = Format("Signal to noise: %.1f dB", Tenths(check.snr_db));
  if (!std::isnan(check.bass_snr_db))
    line += Format(" (20-200 Hz: %.1f dB)", Tenths(check.bass_snr_db));
  return line + "\n";
}

}  // namespace tool
