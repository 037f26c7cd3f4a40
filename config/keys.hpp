// Every key of config.txt, once: its text, its Python name, how its value converts into SI units, its
// default, the rule its value is checked by and a one-line description. The reader, the checks, the
// Python records and the README's key tables all come from this table, so a key added here is read,
// checked, bound and documented everywhere (a test compares the README with it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace expcoil {

// One identifier per key; the records map each to the member it fills.
enum class KeyId : std::uint8_t {
  kParametersName,
  kScalingK,
  kGoodFieldHeight,
  kVerticalEndHeight,
  kVerticalMiddleJoinHeight,
  kVerticalMiddleAsymmetry,
  kVerticalMiddleRamp,
  kVerticalEndAsymmetry,
  kVerticalEndRamp,
  kCoilMeshes,
  kFftMeshes,
  kUseVerticalFftInversion,
  kFieldmapTransverseCell,
  kFieldmapVerticalCell,
  kFieldmapLongitudinalCell,
  kFieldmapTransverseExtension,
  kFieldmapVerticalExtension,
  kFieldmapLongitudinalExtension,
  kFieldmapTolerance,
  kDesignMode,
  kMagnetName,
  kBmax,
  kLength,
  kAngle,
  kWindingCentreToMidplane,
  kWindingReturnHalfLength,
  kAreaPerWinding,
  kWindingCurrentDensity,
  kWindingThickness,
  kPolynomialAdjustment,
};

// The parameter block holds one value per key, shared by all magnets; a magnet key has one line per
// magnet, the n-th line belonging to the n-th magnet.
enum class KeyScope : std::uint8_t { kParameters, kMagnet };

// How the value text converts: the C library's conversions in the "C" locale, as the program has
// always read its files.
enum class KeyKind : std::uint8_t {
  kText,    // verbatim
  kReal,    // strtod of the numeric prefix (0 when there is none), times the key's factor
  kMeshes,  // atoi of the numeric prefix, saturated to 32 bits; one value for both sides of a mesh
  kSwitch,  // true when it starts with t, y or 1 (any case)
  kReals,   // comma-separated reals
};

// The check a value alone must pass; checks that involve several keys live with the records.
enum class KeyRule : std::uint8_t {
  kNone,
  kFinite,       // a finite number
  kNonZero,      // finite and not 0
  kPositive,     // finite and > 0
  kNonNegative,  // finite and >= 0
  kAtLeastTwo,   // an integer >= 2
  kFileName,     // a name the output file names can carry: not empty, no '/' or '\', unique
  kRequired,     // the line must be there
  kChoice,       // one of the key's choices, exactly
};

struct KeyInfo {
  KeyId id;
  KeyScope scope;
  const char* key;     // config.txt's key, as the messages name it
  const char* python;  // the Python name: the key in lower case with underscores, SI units
  KeyKind kind;
  double factor;             // SI value = file value * factor (reals only)
  const char* unit;          // the unit of the file's value ("" for pure numbers and text)
  const char* si_unit;       // the unit of the record's (and Python's) value
  const char* default_text;  // what a missing line reads as
  KeyRule rule;
  const char* doc;  // one line, the README's description starts with it
  // Added after the first release: Config.from_dict takes its default where the dict leaves it out, so
  // that callers written before it go on working.
  bool optional = false;
  const char* choices = nullptr;  // kChoice: the accepted values, separated by '|', the default first
};

// In the order of the README's tables, which is also the order of the checks' messages and of
// Config.to_dict().
std::span<const KeyInfo> config_keys();

const KeyInfo& key_info(KeyId id);

// The entry whose config.txt key is `key` exactly; null when none is.
const KeyInfo* find_key(std::string_view key);

// Value conversions of the configuration, as the C library does them in the "C" locale.
double config_real(const std::string& value);           // strtod: numeric prefix, 0 when there is none
std::int32_t config_integer(const std::string& value);  // atoi: numeric prefix, saturated to 32 bits
bool config_switch(const std::string& value);           // starts with t, y or 1 (any case)

// What a value's text holds for a key of `kind`, judged by the conversions above: they take a numeric
// prefix and read anything else as 0 or as "no", so a unit, a decimal comma or a word would otherwise be
// read as a different value without a word.
struct ValueText {
  enum class Verdict : std::uint8_t {
    kGood,
    kNotANumber,    // no numeric prefix (or for a switch: neither yes nor no)
    kDecimalComma,  // "0,8": the prefix would read as 0
    kTrailing,      // a number followed by other text, which the conversion ignores
  };
  Verdict verdict = Verdict::kGood;
  std::string piece;   // the piece of a list at fault, or the whole value
  std::string number;  // kTrailing: the number read
  std::string rest;    // kTrailing: the ignored text, trimmed
};
ValueText judge_value_text(KeyKind kind, const std::string& value);

}  // namespace expcoil
