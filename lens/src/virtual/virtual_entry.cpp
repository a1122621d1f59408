#include "lens/src/virtual/virtual_entry.h"

#include <charconv>

namespace tavrin::lens {

namespace {

std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

std::optional<int> ParseCount(std::string_view text, int maximum) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 0 || value > maximum) {
    return std::nullopt;
  }
  return value;
}

constexpr int kLargestSide = 16384;

std::vector<FrameSize> ParseSizes(std::string_view text) {
  std::vector<FrameSize> sizes;
  while (!text.empty()) {
    const size_t plus = text.find('+');
    const std::string_view one = text.substr(0, plus);
    const size_t x = one.find_first_of("xX");
    if (x != std::string_view::npos) {
      const auto width = ParseCount(one.substr(0, x), kLargestSide);
      const auto height = ParseCount(one.substr(x + 1), kLargestSide);
      if (width && height && *width > 0 && *height > 0) sizes.push_back({*width, *height});
    }
    if (plus == std::string_view::npos) break;
    text.remove_prefix(plus + 1);
  }
  return sizes;
}

}  // namespace

std::optional<VirtualEntry> ParseVirtualEntry(std::string_view entry) {
  entry = Trim(entry);
  VirtualEntry camera;
  camera.entry = std::string(entry);
  const size_t question = entry.find('?');
  const std::string_view scene = Trim(entry.substr(0, question));
  if (scene == "document") {
    camera.scene = Scene::kDocument;
  } else if (scene == "pages") {
    camera.scene = Scene::kPages;
  } else if (scene == "book") {
    camera.scene = Scene::kBook;
  } else if (scene == "webcam") {
    camera.scene = Scene::kWebcam;
  } else {
    return std::nullopt;
  }
  std::string_view options =
      question == std::string_view::npos ? std::string_view() : entry.substr(question + 1);
  while (!options.empty()) {
    const size_t amp = options.find('&');
    const std::string_view option = options.substr(0, amp);
    const size_t equals = option.find('=');
    if (equals != std::string_view::npos) {
      const std::string_view key = Trim(option.substr(0, equals));
      const std::string_view value = Trim(option.substr(equals + 1));
      if (key == "fail") {
        if (auto n = ParseCount(value, 1000000)) camera.failCaptures = *n;
      } else if (key == "turn") {
        if (auto n = ParseCount(value, 86400)) camera.turnSeconds = *n;
      } else if (key == "pages") {
        if (auto n = ParseCount(value, 100000)) camera.pageCount = *n;
      } else if (key == "inuse") {
        if (auto n = ParseCount(value, 1)) camera.inUse = *n == 1;
      } else if (key == "wait") {
        if (auto n = ParseCount(value, 1)) camera.waitForShot = *n == 1;
      } else if (key == "dpi") {
        if (auto n = ParseCount(value, 100000)) camera.dpiAtFirstSize = *n;
      } else if (key == "sizes") {
        auto sizes = ParseSizes(value);
        if (!sizes.empty()) camera.sizes = std::move(sizes);
      }
    }
    if (amp == std::string_view::npos) break;
    options.remove_prefix(amp + 1);
  }
  return camera;
}

std::vector<VirtualEntry> ParseVirtualList(std::string_view list) {
  std::vector<VirtualEntry> entryList;
  while (!list.empty()) {
    const size_t cut = list.find_first_of(",;\n");
    const std::string_view entry = Trim(list.substr(0, cut));
    if (!entry.empty()) {
      if (auto camera = ParseVirtualEntry(entry)) entryList.push_back(std::move(*camera));
    }
    if (cut == std::string_view::npos) break;
    list.remove_prefix(cut + 1);
  }
  return entryList;
}

}  // namespace tavrin::lens
