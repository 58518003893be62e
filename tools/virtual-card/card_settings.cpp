#include "card_settings.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <string>

namespace vcard {
namespace {

int BadValue(const std::string& path, const std::string& why) {
  SNDERR("vcard: field %s: %s", path.c_str(), why.c_str());
  return -EINVAL;
}

// ---- how values are written -----------------------------------------------

int RangeError(const std::string& path, double min, double max) {
  char why[96];
  if (max == HUGE_VAL || max == static_cast<double>(LONG_MAX)) {
    snprintf(why, sizeof why, "must be %g or more", min);
  } else {
    snprintf(why, sizeof why, "must be from %g to %g", min, max);
  }
  return BadValue(path, why);
}

// A whole number (also written as a real, 150.0) within [min, max].
int ReadInteger(snd_config_t* n, const std::string& path, long min, long max, long* out) {
  long v = 0;
  if (snd_config_get_integer(n, &v) < 0) {
    double d = 0;
    if (snd_config_get_ireal(n, &d) < 0 || d != std::floor(d))
      return BadValue(path, "a whole number is expected");
    if (!(std::fabs(d) < 0x1p62)) return RangeError(path, min, max);
    v = static_cast<long>(d);
  }
  if (v < min || v > max) return RangeError(path, min, max);
  *out = v;
  return 0;
}

// A finite number within [min, max].
int ReadReal(snd_config_t* n, const std::string& path, double min, double max, double* out) {
  double v = 0;
  if (snd_config_get_ireal(n, &v) < 0) return BadValue(path, "a number is expected");
  if (!std::isfinite(v)) return BadValue(path, "a finite number is expected");
  if (v < min || v > max) return RangeError(path, min, max);
  *out = v;
  return 0;
}

// One of the words of `words` ("a|b|c"); `out` is its position.
int ReadWord(snd_config_t* n, const std::string& path, const char* words, unsigned* out) {
  const char* s = nullptr;
  if (snd_config_get_string(n, &s) == 0) {
    unsigned k = 0;
    for (const char* w = words; *w != '\0'; ++k) {
      const size_t len = std::strcspn(w, "|");
      if (std::strlen(s) == len && std::strncmp(s, w, len) == 0) {
        *out = k;
        return 0;
      }
      w += len + (w[len] == '|');
    }
  }
  std::string expected = words;  // "a, b or c expected"
  const size_t last = expected.rfind('|');
  if (last != std::string::npos) expected.replace(last, 1, " or ");
  for (size_t at; (at = expected.find('|')) != std::string::npos;) expected.replace(at, 1, ", ");
  return BadValue(path, expected + " expected");
}

// ---- the tables -------------------------------------------------------------

// One field of a compound read into a T: its key, whether it must be given,
// and how its value is read, checked and stored (its path names it in
// messages).
template <class T>
struct Field {
  const char* key;
  bool required;
  std::function<int(snd_config_t* value, const std::string& path, T* out)> read;
};
template <class T>
using Table = std::vector<Field<T>>;

// Reads the compound `node` by `table`: every key must be in the table and
// every required one given. `prefix` names the compound in messages.
template <class T>
int ReadCompound(snd_config_t* node, const Table<T>& table, const std::string& prefix, T* out) {
  if (snd_config_get_type(node) != SND_CONFIG_TYPE_COMPOUND)
    return BadValue(prefix, "a compound { key value ... } is expected");
  std::vector<bool> given(table.size());
  snd_config_iterator_t i, next;
  snd_config_for_each(i, next, node) {
    snd_config_t* n = snd_config_iterator_entry(i);
    const char* id = nullptr;
    if (snd_config_get_id(n, &id) < 0) continue;
    size_t k = 0;
    while (k < table.size() && std::strcmp(table[k].key, id) != 0) ++k;
    if (k == table.size()) {
      SNDERR("vcard: unknown field %s%s", prefix.c_str(), id);
      return -EINVAL;
    }
    given[k] = true;
    const int err = table[k].read(n, prefix + id, out);
    if (err < 0) return err;
  }
  for (size_t k = 0; k < table.size(); ++k)
    if (table[k].required && !given[k]) return BadValue(prefix + table[k].key, "must be given");
  return 0;
}

// The kinds of field. Each stores its value into a member of T.

// Text for people (comment, hint) or for alsa-lib (type).
template <class T>
Field<T> Ignored(const char* key) {
  return {key, false, [](snd_config_t*, const std::string&, T*) { return 0; }};
}

template <class T, class V>
Field<T> Integer(const char* key, V T::*target, long min, long max, bool required = false) {
  return {key, required, [=](snd_config_t* n, const std::string& path, T* out) {
            long v = 0;
            const int err = ReadInteger(n, path, min, max, &v);
            if (err == 0) out->*target = static_cast<V>(v);
            return err;
          }};
}

template <class T>
Field<T> Real(const char* key, double T::*target, double min = -HUGE_VAL, double max = HUGE_VAL,
              bool required = false) {
  return {key, required, [=](snd_config_t* n, const std::string& path, T* out) {
            return ReadReal(n, path, min, max, &(out->*target));
          }};
}

template <class T>
Field<T> YesNo(const char* key, bool T::*target) {
  return {key, false, [=](snd_config_t* n, const std::string& path, T* out) {
            const int b = snd_config_get_bool(n);
            if (b < 0) return BadValue(path, "yes or no expected");
            out->*target = b != 0;
            return 0;
          }};
}

// One of `words`, stored as its position (the enum's value).
template <class T, class V>
Field<T> Word(const char* key, V T::*target, const char* words, bool required = false) {
  return {key, required, [=](snd_config_t* n, const std::string& path, T* out) {
            unsigned v = 0;
            const int err = ReadWord(n, path, words, &v);
            if (err == 0) out->*target = static_cast<V>(v);
            return err;
          }};
}

// A list [ { ... } { ... } ] of items, each read by `items`, then checked.
template <class T, class I>
Field<T> List(const char* key, std::vector<I> T::*target, Table<I> items,
              int (*check)(const I&, const std::string& path)) {
  return {key, false, [=](snd_config_t* n, const std::string& path, T* out) {
            if (snd_config_get_type(n) != SND_CONFIG_TYPE_COMPOUND)
              return BadValue(path, "a list [ { ... } { ... } ] is expected");
            (out->*target).clear();
            snd_config_iterator_t i, next;
            snd_config_for_each(i, next, n) {
              I item;
              int err = ReadCompound(snd_config_iterator_entry(i), items, path + ".", &item);
              if (err == 0) err = check(item, path);
              if (err < 0) return err;
              (out->*target).push_back(item);
            }
            return 0;
          }};
}

// A device name.
template <class T>
Field<T> Text(const char* key, std::string T::*target) {
  return {key, false, [=](snd_config_t* n, const std::string& path, T* out) {
            const char* v = nullptr;
            if (snd_config_get_string(n, &v) < 0 || *v == '\0')
              return BadValue(path, "a device name is expected");
            out->*target = v;
            return 0;
          }};
}

// A compound { key value ... } read by `fields` into a member, whole.
template <class T, class C>
Field<T> Group(const char* key, C T::*target, Table<C> fields) {
  return {key, false, [=](snd_config_t* n, const std::string& path, T* out) {
            out->*target = C{};
            return ReadCompound(n, fields, path + ".", &(out->*target));
          }};
}

// A list [ WORD ... ] of `words`, stored as a set of bits by their positions.
template <class T>
Field<T> WordSet(const char* key, unsigned T::*target, const char* words) {
  return {key, false, [=](snd_config_t* n, const std::string& path, T* out) {
            if (snd_config_get_type(n) != SND_CONFIG_TYPE_COMPOUND)
              return BadValue(path, "a list [ ... ] is expected");
            unsigned set = 0;
            snd_config_iterator_t i, next;
            snd_config_for_each(i, next, n) {
              unsigned k = 0;
              const int err = ReadWord(snd_config_iterator_entry(i), path, words, &k);
              if (err < 0) return err;
              set |= 1u << k;
            }
            if (set == 0) return BadValue(path, "must name at least one");
            out->*target = set;
            return 0;
          }};
}

// The streams a fault strikes, and the frame it strikes at.
Field<CardSettings> Streams(const char* key, Fault CardSettings::*fault) {
  return {key, false, [=](snd_config_t* n, const std::string& path, CardSettings* out) {
            return ReadWord(n, path, "none|playback|capture|both", &(out->*fault).streams);
          }};
}
Field<CardSettings> Frame(const char* key, Fault CardSettings::*fault) {
  return {key, false, [=](snd_config_t* n, const std::string& path, CardSettings* out) {
            return ReadInteger(n, path, 0, LONG_MAX, &(out->*fault).at);
          }};
}

int CheckFilter(const FilterSpec& f, const std::string& path) {
  if (!(f.q > 0)) return BadValue(path + ".q", "must be above 0");
  if (!(f.freq > 0)) return BadValue(path + ".freq", "must be above 0");
  return 0;
}

int NoCheck(const Reflection&, const std::string&) { return 0; }

// Every field of a device: key, kind of value and range, target.
const Table<CardSettings>& CardTable() {
  using S = CardSettings;
  static const Table<FilterSpec> kFilter = {
      Word("type", &FilterSpec::type, "peak|lowshelf|highshelf|highpass", true),
      Real("freq", &FilterSpec::freq),
      Real("gain_db", &FilterSpec::gain_db),
      Real("q", &FilterSpec::q),
      Ignored<FilterSpec>("comment"),
  };
  static const Table<Distortion> kDistortion = {
      Real("a2", &Distortion::a2), Real("a3", &Distortion::a3), Ignored<Distortion>("comment"),
  };
  static const Table<Reflection> kReflection = {
      Integer("delay", &Reflection::delay, 0, kMaxReflectionDelay, true),
      Real("gain", &Reflection::gain, -HUGE_VAL, HUGE_VAL, true),
      Ignored<Reflection>("comment"),
  };
  static const Table<S> kCard = {
      Ignored<S>("comment"), Ignored<S>("type"), Ignored<S>("hint"), Ignored<S>("like"),
      // The loopback and the room.
      Integer("latency", &S::latency, 0, kMaxDelayFrames),
      Integer("mic_delay", &S::mic_delay, 0, kMaxDelayFrames),
      Real("gain_db", &S::gain_db),
      List("filters", &S::filters, kFilter, CheckFilter),
      List("reflections", &S::reflections, kReflection, NoCheck),
      Real("noise_dbfs", &S::noise_dbfs),
      Integer("seed", &S::seed, 0, LONG_MAX),
      YesNo("cable", &S::cable),
      Real("loop_noise_dbfs", &S::loop_noise_dbfs),
      // The home.
      Group("distortion", &S::distortion, kDistortion),
      Real("tail_t60", &S::tail_t60, 0, 5),
      Real("tail_db", &S::tail_db, -60, 20),
      Integer("tail_delay", &S::tail_delay, 256, kMaxReflectionDelay),
      Real("pink_dbfs", &S::pink_dbfs),
      Real("rumble_dbfs", &S::rumble_dbfs),
      Real("rumble_hz", &S::rumble_hz, 10, 500),
      // Streams, who is heard, on which clock.
      Word("streams", &S::streams, "playback|capture|both"),
      Text("hears", &S::hears),
      Real("drift_ppm", &S::drift_ppm, -10000, 10000),
      // What the card grants.
      Integer("rate", &S::rate, 1000, 768000),
      Integer("channels", &S::channels, 1, 2),
      WordSet("formats", &S::formats, "S16_LE|S24_3LE|S32_LE|FLOAT_LE"),
      Integer("period", &S::period, 0, 65536),
      Word("access", &S::access, "rw|interleaved|mmap"),
      Word("clock", &S::clock, "virtual|realtime|frozen"),
      // Faults: what strikes, on which streams, from which frame.
      Real("stall_ms", &S::stall_ms, 0),
      Frame("stall_at_frame", &S::stall),
      Streams("stall_stream", &S::stall),
      Streams("fail_open", &S::fail_open),
      Streams("fail_format", &S::fail_format),
      Streams("fail_hw_params", &S::fail_hw_params),
      Frame("underrun_at", &S::underrun),
      Frame("fatal_at", &S::fatal),
      Streams("fatal_stream", &S::fatal),
      Integer("fatal_errno", &S::fatal_errno, 1, 4095),
  };
  return kCard;
}

// The fields of `conf` over those of the device it is `like` (and so on, to
// a depth of 8), found in `root`.
int ReadLayers(snd_config_t* root, snd_config_t* conf, int depth, CardSettings* s) {
  snd_config_t* like = nullptr;
  const char* name = nullptr;
  if (snd_config_search(conf, "like", &like) == 0) {
    if (snd_config_get_string(like, &name) < 0) return BadValue("like", "a device name is expected");
    snd_config_t* def = nullptr;
    if (depth == 8) return BadValue("like", "more than 8 devices deep, or in a circle");
    if (root == nullptr || snd_config_search_definition(root, "pcm", name, &def) < 0)
      return BadValue("like", std::string("no device ") + name);
    snd_config_t* type = nullptr;
    const char* word = nullptr;
    const bool card = snd_config_search(def, "type", &type) == 0 &&
                      snd_config_get_string(type, &word) == 0 && std::strcmp(word, "vcard") == 0;
    const int err = card ? ReadLayers(root, def, depth + 1, s)
                         : BadValue("like", std::string(name) + " is not a vcard device");
    snd_config_delete(def);
    if (err < 0) return err;
  }
  return ReadCompound(conf, CardTable(), "", s);
}

}  // namespace

int ParseCardSettings(snd_config_t* root, snd_config_t* conf, CardSettings* s) {
  const int err = ReadLayers(root, conf, 0, s);
  if (err < 0) return err;

  // What one field's range cannot say.
  if (s->period != 0 && s->period < 16) return BadValue("period", "0, or 16 to 65536 frames");
  if (s->latency + s->mic_delay > kMaxDelayFrames)
    return BadValue("latency", "latency + mic_delay is too large");
  if (s->tail_t60 > 0 && s->tail_t60 < 0.05) return BadValue("tail_t60", "0, or 0.05 to 5 s");
  for (const FilterSpec& f : s->filters)
    if (!(f.freq < s->rate / 2.0)) return BadValue("filters.freq", "must be below half the rate");
  if (!(s->rumble_hz < s->rate / 8.0))
    return BadValue("rumble_hz", "must be below an eighth of the rate");
  return 0;
}

}  // namespace vcard
