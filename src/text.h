// Small pieces of text handling that kesp-batch's input modules share.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

struct option;

// Joins the parts into one string: messages are built of many pieces, some
// of them C strings that + would not join.
inline std::string cat(std::initializer_list<std::string_view> parts) {
  std::string all;
  for (std::string_view part : parts) all += part;
  return all;
}

// The folder a path names its file in: "." for a bare name.
std::string folder_of(const std::string &path);

// U+FFFD in UTF-8: what stands for bytes that are not text.
inline constexpr char REPLACEMENT_CHARACTER[] = "\xef\xbf\xbd";

// Text from outside (a command's standard error, a file or board name)
// made valid UTF-8, the one rule for every text the report and the unit
// record carry: each well-formed character is kept, and each ill-formed
// part becomes one U+FFFD, a part being the longest start of a character
// that breaks off (or one byte that starts none), as the JSON report's
// writer replaces them. Overlong forms and surrogates are ill-formed.
std::string valid_utf8(std::string_view text);

// The end of text in at most max bytes, starting at a character's first
// byte: a cut never leaves half a character behind it.
std::string_view utf8_tail(std::string_view text, size_t max);

// A time as every report and the record write it: UTC to the millisecond,
// "2026-12-09T14:25:58.123Z", from milliseconds since the epoch.
std::string iso_time(int64_t ms);

// The edits that turn a into b: insertions, deletions, substitutions, and
// swaps of two neighbouring characters, each counting one.
size_t edit_distance(std::string_view a, std::string_view b);

// What an unknown long option word ("--compair", "--compair=2") was most
// likely meant to be among options, getopt_long's table ended by a null
// name: "--compare", "--start or --station" when it begins several, ""
// when none is near enough to be a guess worth showing.
std::string nearest_option(std::string_view word, const option *options);

// "unknown option --compair; did you mean --compare?", or without the
// guess when nearest_option has none.
std::string unknown_option(std::string_view word, const option *options);
