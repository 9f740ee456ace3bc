// Small pieces of text handling that kesp-batch's input modules share.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

// Joins the parts into one string: messages are built of many pieces, some
// of them C strings that + would not join.
inline std::string cat(std::initializer_list<std::string_view> parts) {
  std::string all;
  for (std::string_view part : parts) all += part;
  return all;
}

// The folder a path names its file in: "." for a bare name.
std::string folder_of(const std::string &path);
