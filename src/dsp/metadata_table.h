// Metadata as key=value lines, read and written through a table of fields:
// each field names its key, whether a text must hold it, and how its value
// is written, read and checked. Adding a key is one row. Checks that tie
// several fields together follow the table in its user.
#pragma once

#include <cstddef>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

// The values of the key=value lines of text[0 .. length) by key: the key is
// what stands before a line's first '=', and a later line of a key wins.
// Lines without '=' are skipped. The text may hold any bytes.
using MetadataValues = std::map<std::string, std::string>;
MetadataValues SplitMetadata(const char* text, size_t length);

template <typename T>
struct MetadataField {
  const char* key;
  bool required;  // a text without it is refused
  std::function<std::string(const T&)> write;
  std::function<bool(const std::string&, T*)> read;  // false: a bad value
};

template <typename T>
using MetadataTable = std::vector<MetadataField<T>>;

// The longest value written: a longer one (a device name, say) is cut to
// fit and ends in "...", so that a text of a few dozen fields stays well
// within the couple of kilobytes that readers of file comments keep.
constexpr size_t kMaxMetadataValue = 256;

// `value` cut to kMaxMetadataValue bytes, between UTF-8 characters; returns
// false when it had to be cut.
bool FitMetadataValue(std::string* value);

// Appends "key=value\n" for every field, in the table's order; the key of
// each value cut to fit is added to *shortened.
template <typename T>
void WriteMetadata(const MetadataTable<T>& table, const T& in, std::string* text,
                   std::vector<std::string>* shortened) {
  for (const MetadataField<T>& f : table) {
    std::string value = f.write(in);
    if (!FitMetadataValue(&value)) shortened->push_back(f.key);
    *text += std::string(f.key) + '=' + value + '\n';
  }
}

// Sets *error to "metadata: KEY is missing" or "metadata: bad value of KEY"
// and returns false.
bool MissingValue(const char* key, std::string* error);
bool BadValue(const char* key, std::string* error);

// Reads every field `values` holds into *out; a field it lacks keeps its
// value. Refuses, in this order, the first required field missing, then the
// first value its field does not accept; *out may then be partly written.
template <typename T>
bool ReadMetadata(const MetadataTable<T>& table, const MetadataValues& values, T* out,
                  std::string* error) {
  for (const MetadataField<T>& f : table)
    if (f.required && values.count(f.key) == 0) return MissingValue(f.key, error);
  for (const MetadataField<T>& f : table) {
    const auto it = values.find(f.key);
    if (it != values.end() && !f.read(it->second, out)) return BadValue(f.key, error);
  }
  return true;
}

// Bounds for NumberField: frame counts, and numbers that must be above 0.
constexpr long kMaxMetadataFrames = 1L << 30;
constexpr double kAboveZero = std::numeric_limits<double>::denorm_min();

// A decimal whole number of at most 20 characters within [lowest, highest].
bool ReadWholeNumber(const std::string& text, long long lowest, long long highest, long long* out);
// A finite number of at most 60 characters, in any form strtod reads.
bool ReadFiniteNumber(const std::string& text, double* out);
// The number as text that reads back to exactly the same value.
std::string ExactNumber(double value);

// A field for an enum member written as one of `words` (a word and its
// value each); any other word is a bad value.
template <typename T, typename E>
MetadataField<T> WordField(const char* key, bool required, E T::*member,
                           std::vector<std::pair<std::string, E>> words) {
  MetadataField<T> f{key, required, nullptr, nullptr};
  f.write = [member, words](const T& in) {
    for (const auto& w : words)
      if (w.second == in.*member) return w.first;
    return std::string();
  };
  f.read = [member, words](const std::string& text, T* out) {
    for (const auto& w : words)
      if (w.first == text) return out->*member = w.second, true;
    return false;
  };
  return f;
}

// A field for a text member, written through `shown` (which keeps a name
// from breaking the text).
template <typename T>
MetadataField<T> TextField(const char* key, std::string T::*member,
                           std::string (*shown)(const std::string&)) {
  return {key, true, [member, shown](const T& in) { return shown(in.*member); },
          [member](const std::string& v, T* out) { return out->*member = v, true; }};
}

// A field for a number member within [lowest, highest]: whole numbers in
// decimal, floating point exactly (17 significant digits).
template <typename T, typename M>
MetadataField<T> NumberField(const char* key, bool required, M T::*member, double lowest,
                             double highest) {
  static_assert(std::is_arithmetic<M>::value, "a number member");
  MetadataField<T> f{key, required, nullptr, nullptr};
  f.write = [member](const T& in) {
    if constexpr (std::is_floating_point<M>::value)
      return ExactNumber(in.*member);
    else
      return std::to_string(in.*member);
  };
  f.read = [member, lowest, highest](const std::string& text, T* out) {
    if constexpr (std::is_floating_point<M>::value) {
      double v = 0;
      if (!ReadFiniteNumber(text, &v) || v < lowest || v > highest) return false;
      out->*member = v;
    } else {
      long long v = 0;
      if (!ReadWholeNumber(text, static_cast<long long>(lowest), static_cast<long long>(highest),
                           &v))
        return false;
      out->*member = static_cast<M>(v);
    }
    return true;
  };
  return f;
}
