#include "serial_format.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace {

bool whole_number(const std::string &s, int64_t *v) {
  if (s.empty() || s.size() > 18) return false;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *v);
  return ec == std::errc() && end == s.data() + s.size();
}

std::string parse_range(const std::string &range, int64_t largest, serial_pool *p) {
  size_t dash = range.find('-');
  if (dash == std::string::npos || !whole_number(range.substr(0, dash), &p->first) ||
      !whole_number(range.substr(dash + 1), &p->last)) {
    return "the range is FIRST-LAST, as in KX{:06},1-999999";
  }
  if (p->first > p->last) return "the range's first number is above its last";
  if (p->last > largest) {
    return "the range's last number " + std::to_string(p->last) + " has more than " +
           std::to_string(p->width) + " digits";
  }
  return "";
}

}  // namespace

std::string parse_serials(const std::string &text, serial_pool *out) {
  serial_pool p;
  size_t comma = text.find(',');
  p.format = text.substr(0, comma);
  size_t open = p.format.find('{');
  size_t close = p.format.find('}');
  if (open == std::string::npos || close == std::string::npos || close < open ||
      p.format.find('{', open + 1) != std::string::npos ||
      p.format.find('}', close + 1) != std::string::npos) {
    return "a serial format holds one {:0W}, as in KX{:06}";
  }
  std::string field = p.format.substr(open + 1, close - open - 1);
  if (field.size() < 3 || !field.starts_with(":0"))
    return "the number is written {:0W}, as in KX{:06}";
  for (char c : field.substr(2)) {
    if (isdigit(static_cast<unsigned char>(c)) == 0)
      return "the number is written {:0W}, as in KX{:06}";
  }
  // A width too long for any number is no more a serial than 19 is.
  int64_t width = 0;
  if (!whole_number(field.substr(2), &width) || width < 1 || width > 18)
    return "a serial number has 1 to 18 digits";
  p.width = static_cast<int>(width);
  p.prefix = p.format.substr(0, open);
  p.suffix = p.format.substr(close + 1);
  for (char c : p.prefix + p.suffix) {
    if (isalnum(static_cast<unsigned char>(c)) == 0 && c != '-' && c != '_' && c != '.' &&
        c != '/' && c != ':') {
      return "a serial's prefix and suffix are letters, digits and - _ . / :";
    }
  }
  int64_t largest = 1;
  for (int i = 0; i < p.width; ++i) largest *= 10;
  largest -= 1;
  p.first = 1;
  p.last = largest;
  if (comma != std::string::npos) {
    std::string why = parse_range(text.substr(comma + 1), largest, &p);
    if (!why.empty()) return why;
  }
  *out = p;
  return "";
}

std::string format_serial(const serial_pool &pool, int64_t number) {
  std::string digits = std::to_string(number);
  if (digits.size() < static_cast<size_t>(pool.width)) {
    digits.insert(0, static_cast<size_t>(pool.width) - digits.size(), '0');
  }
  return pool.prefix + digits + pool.suffix;
}

int64_t serial_warning_margin(const serial_pool &pool) {
  int64_t size = pool.last - pool.first + 1;
  return std::max<int64_t>(1, std::min<int64_t>(100, size / 10));
}
