#include "html.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

std::string esc(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string url_part(std::string_view text) {
  static const char HEX[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    if (isalnum(u) != 0 || c == '-' || c == '_' || c == '.' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += HEX[u >> 4];
      out += HEX[u & 15];
    }
  }
  return out;
}

std::string tag(const char *name, std::string_view text, const std::string &attrs) {
  return std::string("<") + name + (attrs.empty() ? "" : " " + attrs) + ">" + esc(text) + "</" +
         name + ">";
}

std::string link(const std::string &href, std::string_view text) {
  return "<a href=\"" + esc(href) + "\">" + esc(text) + "</a>";
}

std::string html_page(const std::string &title, const std::string &here, const std::string &body) {
  std::string nav;
  const char *entries[][2] = {{"/", "Plant"}, {"/yield", "Yield"}, {"/unit", "Unit"},
                              {"/export", "Export"}, {"/metrics", "Metrics"}};
  for (const auto &e : entries) {
    nav += std::string("<a href=\"") + e[0] + "\"" + (here == e[1] ? " class=\"here\"" : "") +
           ">" + e[1] + "</a> ";
  }
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width\">"
         "<title>" +
         esc(title) +
         " - kesp</title><link rel=\"stylesheet\" href=\"/style.css\">"
         "<script src=\"/app.js\" defer></script></head>\n<body><nav>" +
         nav + "</nav><main>\n" + body + "\n</main></body></html>\n";
}

namespace {

std::string number(double v) {
  char text[32];
  snprintf(text, sizeof text, "%.6g", v);
  return text;
}

}  // namespace

std::string bar_chart(const std::string &id, const std::string &title,
                      const std::vector<bar> &bars, bool percent, bool cumulative) {
  const double width = 720;
  const double height = 220;
  const double left = 48;
  const double bottom = 40;
  const double top = 24;
  double largest = percent ? 100 : 0;
  double total = 0;
  for (const bar &b : bars) {
    largest = std::max(largest, b.value);
    total += b.value;
  }
  if (largest <= 0) largest = 1;
  std::string svg = "<figure><figcaption>" + esc(title) + "</figcaption><svg id=\"" + esc(id) +
                    R"(" class="chart" xmlns="http://www.w3.org/2000/svg" viewBox="0 0 )" +
                    number(width) + " " + number(height) + R"(" role="img" aria-label=")" +
                    esc(title) + "\">";
  double plot = height - bottom - top;
  svg += R"(<line class="axis" x1=")" + number(left) + "\" y1=\"" + number(top + plot) +
         "\" x2=\"" + number(width) + "\" y2=\"" + number(top + plot) + "\"/>";
  svg += R"(<text class="tick" x=")" + number(left - 4) + "\" y=\"" + number(top + 4) +
         R"(" text-anchor="end">)" + esc(number(largest) + (percent ? "%" : "")) + "</text>";
  svg += R"(<text class="tick" x=")" + number(left - 4) + "\" y=\"" + number(top + plot) +
         R"(" text-anchor="end">0</text>)";
  if (bars.empty()) {
    svg += R"(<text class="none" x=")" + number(width / 2) + "\" y=\"" + number(height / 2) +
           R"(" text-anchor="middle">no units in this period</text>)";
  }
  double step = (width - left) / static_cast<double>(std::max<size_t>(bars.size(), 1));
  // Labels only as often as they fit.
  size_t every = std::max<size_t>(1, static_cast<size_t>(std::ceil(60.0 / step)));
  double running = 0;
  std::string line;
  for (size_t i = 0; i < bars.size(); ++i) {
    const bar &b = bars[i];
    double h = plot * b.value / largest;
    double x = left + step * static_cast<double>(i) + step * 0.1;
    std::string note = b.note.empty() ? b.label + ": " + number(b.value) + (percent ? "%" : "")
                                      : b.note;
    svg += R"(<rect class="bar" x=")" + number(x) + "\" y=\"" + number(top + plot - h) +
           "\" width=\"" + number(step * 0.8) + "\" height=\"" + number(h) + "\" data-label=\"" +
           esc(b.label) + "\" data-value=\"" + esc(number(b.value)) + "\"><title>" + esc(note) +
           "</title></rect>";
    if (i % every == 0) {
      svg += R"(<text class="tick" x=")" + number(x + step * 0.4) + "\" y=\"" +
             number(top + plot + 14) + R"(" text-anchor="middle">)" + esc(b.label.substr(0, 16)) +
             "</text>";
    }
    running += b.value;
    if (cumulative && total > 0) {
      line += (line.empty() ? "" : " ") + number(x + step * 0.4) + "," +
              number(top + plot - plot * running / total);
    }
  }
  if (!line.empty()) svg += R"(<polyline class="share" points=")" + line + "\"/>";
  return svg + "</svg></figure>";
}
