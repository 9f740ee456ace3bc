// The dashboard's HTML and SVG, made by builder functions that escape every
// value they are given: board names, reasons, serial formats and command
// errors come from outside, and none may become markup.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Text as HTML text or a quoted attribute's value.
std::string esc(std::string_view text);
// A query parameter's value, percent-encoded.
std::string url_part(std::string_view text);

// A whole page: the title, which of the navigation's entries is the page,
// and its body (already made of escaped parts).
std::string html_page(const std::string &title, const std::string &here, const std::string &body);

// An element with escaped text: tag("td", "x<y") is <td>x&lt;y</td>.
std::string tag(const char *name, std::string_view text, const std::string &attrs = "");
std::string link(const std::string &href, std::string_view text);

struct bar {
  std::string label;
  double value = 0;
  std::string note;  // the bar's tooltip; "" for the label and value
};
// A bar chart as inline SVG, drawn by the server; each bar's rect carries
// its label and value as data attributes. percent: the axis runs to 100.
// cumulative adds the running share of the total as a line (a Pareto).
std::string bar_chart(const std::string &id, const std::string &title,
                      const std::vector<bar> &bars, bool percent = false,
                      bool cumulative = false);
