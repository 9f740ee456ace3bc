#include "text.h"

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <vector>

std::string folder_of(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

namespace {

bool continuation(unsigned char byte) { return (byte & 0xc0U) == 0x80; }

// How many bytes at text[i] form one well-formed character; else 0, with
// *part the bytes that begin one before it breaks off (at least 1). The
// second byte's range is what rules out overlong forms, surrogates and
// code points past U+10FFFF.
size_t character_at(std::string_view text, size_t i, size_t *part) {
  auto lead = static_cast<unsigned char>(text[i]);
  *part = 1;
  if (lead < 0x80) return 1;
  size_t n = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) {
    n = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    n = 3;
    if (lead == 0xe0) low = 0xa0;
    if (lead == 0xed) high = 0x9f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    n = 4;
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  for (size_t k = 1; k < n; ++k) {
    if (i + k >= text.size()) return 0;
    auto byte = static_cast<unsigned char>(text[i + k]);
    bool fits = k == 1 ? byte >= low && byte <= high : continuation(byte);
    if (!fits) return 0;
    *part = k + 1;
  }
  return n;
}

}  // namespace

std::string valid_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    size_t part = 0;
    size_t n = character_at(text, i, &part);
    if (n > 0) {
      out.append(text.substr(i, n));
      i += n;
    } else {
      out += REPLACEMENT_CHARACTER;
      i += part;
    }
  }
  return out;
}

std::string_view utf8_tail(std::string_view text, size_t max) {
  if (text.size() <= max) return text;
  size_t from = text.size() - max;
  // A character is at most 4 bytes: past 3 continuation bytes the text
  // was not UTF-8 there, and the cut may as well fall where it is.
  for (size_t k = 0;
       k < 3 && from < text.size() && continuation(static_cast<unsigned char>(text[from])); ++k) {
    ++from;
  }
  return text.substr(from);
}

std::string iso_time(int64_t ms) {
  auto seconds = static_cast<time_t>(ms / 1000);
  tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms % 1000));
  return text;
}

size_t edit_distance(std::string_view a, std::string_view b) {
  // Three rows of the table: two back for a swap, one back, this one.
  std::vector<size_t> before(b.size() + 1);
  std::vector<size_t> last(b.size() + 1);
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) last[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t change = last[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
      row[j] = std::min({last[j] + 1, row[j - 1] + 1, change});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        row[j] = std::min(row[j], before[j - 2] + 1);
      }
    }
    std::swap(before, last);
    std::swap(last, row);
  }
  return last[b.size()];
}

std::string nearest_option(std::string_view word, const option *options) {
  if (!word.starts_with("--")) return "";
  word.remove_prefix(2);
  word = word.substr(0, word.find('='));
  std::string typed;
  for (char c : word) typed += static_cast<char>(tolower(static_cast<unsigned char>(c)));
  if (typed.empty()) return "";
  // A start that getopt_long found ambiguous: every option it begins.
  std::vector<std::string> begun;
  for (const option *o = options; o->name != nullptr; ++o) {
    if (std::string_view(o->name).starts_with(typed)) begun.push_back(std::string("--") + o->name);
  }
  if (begun.size() > 1) {
    std::string all;
    for (size_t i = 0; i < begun.size(); ++i) {
      if (i > 0) all += i + 1 == begun.size() ? " or " : ", ";
      all += begun[i];
    }
    return all;
  }
  // A slip of the fingers: about one edit in three letters, never more
  // than two, or the guess is no better than a list of every option.
  size_t allowed = std::clamp<size_t>(typed.size() / 3, 1, 2);
  const char *best = nullptr;
  size_t best_distance = allowed + 1;
  for (const option *o = options; o->name != nullptr; ++o) {
    size_t d = edit_distance(typed, o->name);
    if (d < best_distance) {
      best = o->name;
      best_distance = d;
    }
  }
  return best == nullptr ? "" : std::string("--") + best;
}

std::string unknown_option(std::string_view word, const option *options) {
  // getopt_long refuses a value given to an option that takes none alike.
  size_t equals = word.find('=');
  if (word.starts_with("--") && equals != std::string_view::npos) {
    std::string_view name = word.substr(2, equals - 2);
    const option *found = nullptr;
    int matches = 0;  // an exact name, or every option the name begins
    for (const option *o = options; o->name != nullptr; ++o) {
      if (name == o->name) {
        found = o;
        matches = 1;
        break;
      }
      if (std::string_view(o->name).starts_with(name)) {
        found = o;
        ++matches;
      }
    }
    if (matches == 1 && found->has_arg == no_argument) {
      return cat({"--", found->name, " takes no value"});
    }
  }
  std::string text = cat({"unknown option ", word});
  std::string guess = nearest_option(word, options);
  return guess.empty() ? text : cat({text, "; did you mean ", guess, "?"});
}
