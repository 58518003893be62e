#include "card_settings.h"

#include <cerrno>
#include <cmath>
#include <cstring>

namespace vcard {
namespace {

int BadValue(const char* id, const char* why) {
  SNDERR("vcard: field %s: %s", id, why);
  return -EINVAL;
}

int GetLong(snd_config_t* n, const char* id, long min, long* out) {
  long v = 0;
  if (snd_config_get_integer(n, &v) < 0) return BadValue(id, "an integer is expected");
  if (v < min) return BadValue(id, "value out of range");
  *out = v;
  return 0;
}

int GetReal(snd_config_t* n, const char* id, double* out) {
  double v = 0;
  if (snd_config_get_ireal(n, &v) < 0) return BadValue(id, "a number is expected");
  if (!std::isfinite(v)) return BadValue(id, "a finite number is expected");
  *out = v;
  return 0;
}

int GetStreams(snd_config_t* n, const char* id, unsigned* out) {
  const char* s = nullptr;
  if (snd_config_get_string(n, &s) < 0) return BadValue(id, "playback, capture or both expected");
  if (std::strcmp(s, "playback") == 0) {
    *out = kPlayback;
  } else if (std::strcmp(s, "capture") == 0) {
    *out = kCapture;
  } else if (std::strcmp(s, "both") == 0) {
    *out = kBothStreams;
  } else if (std::strcmp(s, "none") == 0) {
    *out = kNoStream;
  } else {
    return BadValue(id, "playback, capture, both or none expected");
  }
  return 0;
}

int ParseFilter(snd_config_t* node, FilterSpec* f) {
  if (snd_config_get_type(node) != SND_CONFIG_TYPE_COMPOUND) {
    return BadValue("filters", "each filter is a compound { type ... freq ... }");
  }
  bool have_type = false;
  snd_config_iterator_t i, next;
  snd_config_for_each(i, next, node) {
    snd_config_t* n = snd_config_iterator_entry(i);
    const char* id = nullptr;
    if (snd_config_get_id(n, &id) < 0) continue;
    int err = 0;
    if (std::strcmp(id, "type") == 0) {
      const char* s = nullptr;
      if (snd_config_get_string(n, &s) < 0) return BadValue("filters.type", "a string is expected");
      if (std::strcmp(s, "peak") == 0) {
        f->type = FilterType::kPeak;
      } else if (std::strcmp(s, "lowshelf") == 0) {
        f->type = FilterType::kLowShelf;
      } else if (std::strcmp(s, "highshelf") == 0) {
        f->type = FilterType::kHighShelf;
      } else if (std::strcmp(s, "highpass") == 0) {
        f->type = FilterType::kHighPass;
      } else {
        return BadValue("filters.type", "peak, lowshelf, highshelf or highpass expected");
      }
      have_type = true;
    } else if (std::strcmp(id, "freq") == 0) {
      err = GetReal(n, "filters.freq", &f->freq);
    } else if (std::strcmp(id, "gain_db") == 0) {
      err = GetReal(n, "filters.gain_db", &f->gain_db);
    } else if (std::strcmp(id, "q") == 0) {
      err = GetReal(n, "filters.q", &f->q);
    } else if (std::strcmp(id, "comment") != 0) {
      SNDERR("vcard: unknown filter field %s", id);
      return -EINVAL;
    }
    if (err < 0) return err;
  }
  if (!have_type) return BadValue("filters", "every filter needs a type");
  if (!(f->q > 0)) return BadValue("filters.q", "must be above 0");
  if (!(f->freq > 0)) return BadValue("filters.freq", "must be above 0");
  return 0;
}

int ParseFilters(snd_config_t* list, std::vector<FilterSpec>* out) {
  if (snd_config_get_type(list) != SND_CONFIG_TYPE_COMPOUND) {
    return BadValue("filters", "a list [ { ... } { ... } ] is expected");
  }
  snd_config_iterator_t i, next;
  snd_config_for_each(i, next, list) {
    FilterSpec f;
    int err = ParseFilter(snd_config_iterator_entry(i), &f);
    if (err < 0) return err;
    out->push_back(f);
  }
  return 0;
}

int ParseReflections(snd_config_t* list, std::vector<Reflection>* out) {
  if (snd_config_get_type(list) != SND_CONFIG_TYPE_COMPOUND)
    return BadValue("reflections", "a list [ { delay F gain G } ... ] is expected");
  snd_config_iterator_t i, next;
  snd_config_for_each(i, next, list) {
    snd_config_t* node = snd_config_iterator_entry(i);
    if (snd_config_get_type(node) != SND_CONFIG_TYPE_COMPOUND)
      return BadValue("reflections", "each reflection is a compound { delay F gain G }");
    Reflection r;
    bool have_delay = false, have_gain = false;
    snd_config_iterator_t j, jnext;
    snd_config_for_each(j, jnext, node) {
      snd_config_t* n = snd_config_iterator_entry(j);
      const char* id = nullptr;
      if (snd_config_get_id(n, &id) < 0) continue;
      int err = 0;
      if (std::strcmp(id, "delay") == 0) {
        double d = 0;
        err = GetReal(n, "reflections.delay", &d);
        if (err == 0 && (d != std::floor(d) || d < 0 || d > kMaxReflectionDelay))
          err = BadValue("reflections.delay", "a whole number of frames, 0 to 65536");
        r.delay = static_cast<long>(d);
        have_delay = true;
      } else if (std::strcmp(id, "gain") == 0) {
        err = GetReal(n, "reflections.gain", &r.gain);
        have_gain = true;
      } else if (std::strcmp(id, "comment") != 0) {
        SNDERR("vcard: unknown reflection field %s", id);
        return -EINVAL;
      }
      if (err < 0) return err;
    }
    if (!have_delay || !have_gain) return BadValue("reflections", "each needs a delay and a gain");
    out->push_back(r);
  }
  return 0;
}

}  // namespace

int ParseCardSettings(snd_config_t* conf, CardSettings* s) {
  snd_config_iterator_t i, next;
  snd_config_for_each(i, next, conf) {
    snd_config_t* n = snd_config_iterator_entry(i);
    const char* id = nullptr;
    if (snd_config_get_id(n, &id) < 0) continue;
    if (std::strcmp(id, "comment") == 0 || std::strcmp(id, "type") == 0 ||
        std::strcmp(id, "hint") == 0) {
      continue;
    }
    int err = 0;
    long v = 0;
    if (std::strcmp(id, "latency") == 0) {
      err = GetLong(n, id, 0, &s->latency);
    } else if (std::strcmp(id, "mic_delay") == 0) {
      err = GetLong(n, id, 0, &s->mic_delay);
    } else if (std::strcmp(id, "gain_db") == 0) {
      err = GetReal(n, id, &s->gain_db);
    } else if (std::strcmp(id, "filters") == 0) {
      err = ParseFilters(n, &s->filters);
    } else if (std::strcmp(id, "reflections") == 0) {
      err = ParseReflections(n, &s->reflections);
    } else if (std::strcmp(id, "noise_dbfs") == 0) {
      err = GetReal(n, id, &s->noise_dbfs);
      s->noise = true;
    } else if (std::strcmp(id, "seed") == 0) {
      err = GetLong(n, id, 0, &v);
      s->seed = static_cast<uint64_t>(v);
    } else if (std::strcmp(id, "cable") == 0) {
      int b = snd_config_get_bool(n);
      if (b < 0) return BadValue(id, "yes or no expected");
      s->cable = b != 0;
    } else if (std::strcmp(id, "rate") == 0) {
      err = GetLong(n, id, 1000, &v);
      if (err == 0 && v > 768000) err = BadValue(id, "value out of range");
      s->rate = static_cast<unsigned>(v);
    } else if (std::strcmp(id, "period") == 0) {
      err = GetLong(n, id, 0, &s->period);
      if (err == 0 && s->period != 0 && (s->period < 16 || s->period > 65536)) {
        err = BadValue(id, "0, or 16 to 65536 frames");
      }
    } else if (std::strcmp(id, "access") == 0) {
      const char* a = nullptr;
      if (snd_config_get_string(n, &a) < 0) a = "";
      if (std::strcmp(a, "rw") == 0) {
        s->access = AccessOffer::kReadWrite;
      } else if (std::strcmp(a, "interleaved") == 0) {
        s->access = AccessOffer::kInterleaved;
      } else if (std::strcmp(a, "mmap") == 0) {
        s->access = AccessOffer::kMmap;
      } else {
        return BadValue(id, "rw, interleaved or mmap expected");
      }
    } else if (std::strcmp(id, "clock") == 0) {
      const char* c = nullptr;
      const char* expected = "virtual, realtime or frozen expected";
      if (snd_config_get_string(n, &c) < 0) return BadValue(id, expected);
      if (std::strcmp(c, "virtual") == 0) {
        s->clock = ClockMode::kVirtual;
      } else if (std::strcmp(c, "realtime") == 0) {
        s->clock = ClockMode::kRealtime;
      } else if (std::strcmp(c, "frozen") == 0) {
        s->clock = ClockMode::kFrozen;
      } else {
        return BadValue(id, expected);
      }
    } else if (std::strcmp(id, "stall_ms") == 0) {
      err = GetReal(n, id, &s->stall_ms);
      if (err == 0 && s->stall_ms < 0) err = BadValue(id, "must not be negative");
    } else if (std::strcmp(id, "stall_at_frame") == 0) {
      err = GetLong(n, id, 0, &s->stall_at_frame);
    } else if (std::strcmp(id, "stall_at_ms") == 0) {
      err = GetReal(n, id, &s->stall_at_ms);
      if (err == 0 && s->stall_at_ms < 0) err = BadValue(id, "must not be negative");
    } else if (std::strcmp(id, "stall_stream") == 0) {
      err = GetStreams(n, id, &s->stall_streams);
    } else if (std::strcmp(id, "fail_open") == 0) {
      err = GetStreams(n, id, &s->fail_open);
    } else if (std::strcmp(id, "fail_format") == 0) {
      err = GetStreams(n, id, &s->fail_format);
    } else if (std::strcmp(id, "fail_hw_params") == 0) {
      err = GetStreams(n, id, &s->fail_hw_params);
    } else if (std::strcmp(id, "underrun_at") == 0) {
      err = GetLong(n, id, 0, &s->underrun_at);
    } else if (std::strcmp(id, "overrun_at") == 0) {
      err = GetLong(n, id, 0, &s->overrun_at);
    } else if (std::strcmp(id, "fatal_at") == 0) {
      err = GetLong(n, id, 0, &s->fatal_at);
    } else if (std::strcmp(id, "fatal_stream") == 0) {
      err = GetStreams(n, id, &s->fatal_streams);
    } else if (std::strcmp(id, "fatal_errno") == 0) {
      err = GetLong(n, id, 1, &v);
      if (err == 0 && v > 4095) err = BadValue(id, "value out of range");
      s->fatal_errno = static_cast<int>(v);
    } else {
      SNDERR("vcard: unknown field %s", id);
      return -EINVAL;
    }
    if (err < 0) return err;
  }

  if (s->latency + s->mic_delay > kMaxDelayFrames) {
    return BadValue("latency", "latency + mic_delay is too large");
  }
  for (const FilterSpec& f : s->filters) {
    if (!(f.freq < s->rate / 2.0)) return BadValue("filters.freq", "must be below half the rate");
  }
  if (s->stall_ms > 0 && s->stall_at_frame < 0 && s->stall_at_ms < 0) s->stall_at_frame = 48000;
  return 0;
}

}  // namespace vcard
