// Thunar's custom actions file (uca.xml): Kestrine's actions in it, found
// by their unique IDs, written in and taken out while everything else in the
// file stays byte for byte as it was.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Where things stand in a custom actions file, in bytes from its start.
struct ThunarLayout {
  std::size_t rootTagBegin = 0;  // The <actions> start tag.
  std::size_t rootTagEnd = 0;
  std::optional<std::size_t> rootEndTag;  // The </actions> end tag; none for <actions/>.
  std::vector<std::pair<std::size_t, std::size_t>> ours;  // Kestrine's <action> elements.
};

// The <action> elements of Kestrine's commands, each running `executable`
// on the selected files, in Thunar's own layout.
std::string ThunarActions(const std::string& executable);

// The layout of `text`, or none with the reason in `why`.
std::optional<ThunarLayout> ScanThunarCustomActions(std::string_view text, std::string* why);

// `existing` without Kestrine's actions, with `actions` (if any) added at
// the end of the <actions> element; none, with why, when it does not parse.
// Puts in `removed`, when not null, how many of Kestrine's actions it took out.
std::optional<std::string> EditThunarCustomActions(std::string_view existing,
                                                   const std::optional<std::string>& actions,
                                                   std::string* why, int* removed = nullptr);
