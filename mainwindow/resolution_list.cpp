#include "mainwindow/resolution_list.h"

#include "camera/camera_library.h"

#include <algorithm>
#include <cstddef>
#include <string>

namespace tavrin {

namespace {

std::u16string Ascii(const std::string& text) {
  return std::u16string(text.begin(), text.end());
}

}  // namespace

std::vector<ResolutionEntry> MakeNamingTable() {
  struct Row {
    const char* label;
    int width;
    int height;
  };
  // Row 15 is "SVGA" as row 16 is; the first row's size is also the
  // threshold above which unnamed sizes stay in the list.
  static constexpr Row kRows[] = {
      {"18MP", 4912, 3680},  {"15MP", 4480, 3360},  {"12MP", 4224, 3000},    {"10MP", 3856, 2764},
      {"10MP", 3664, 2744},  {"8MP", 3264, 2448},   {"8MP", 3840, 2160},     {"5MP", 2592, 1944},
      {"3.3MP", 2112, 1568}, {"3MP", 2048, 1536},   {"HD-1080", 1920, 1080}, {"2MP", 1600, 1200},
      {"1.3MP", 1280, 1024}, {"HD-720", 1280, 720}, {"SVGA", 1024, 768},     {"SVGA", 800, 600},
      {"VGA", 640, 480},
  };
  std::vector<ResolutionEntry> table;
  table.reserve(std::size(kRows));
  for (const Row& row : kRows) {
    ResolutionEntry entry;
    entry.width = row.width;
    entry.height = row.height;
    entry.label = Ascii(row.label);
    table.push_back(entry);
  }
  return table;
}

std::vector<int> MakeDpiChoices() {
  return {600, 300, 260, 250, 200, 100};
}

void FilterAndLabel(std::vector<ResolutionEntry>& entries,
                    const std::vector<ResolutionEntry>& namingTable) {
  if (namingTable.empty()) return;
  const ResolutionEntry& largest = namingTable.front();
  std::vector<ResolutionEntry> kept;
  kept.reserve(entries.size());
  for (ResolutionEntry& entry : entries) {
    const auto named = std::find_if(namingTable.begin(), namingTable.end(), [&](const auto& row) {
      return row.width == entry.width && row.height == entry.height;
    });
    if (named != namingTable.end()) {
      entry.label = named->label;
      kept.push_back(std::move(entry));
    } else if (entry.width > largest.width && entry.height > largest.height) {
      entry.label.clear();
      kept.push_back(std::move(entry));
    }
  }
  entries = std::move(kept);
}

int DpiOfSize(const CameraInfo& camera, int width) {
  if (camera.width <= 0) return 0;
  return static_cast<int>(static_cast<double>(camera.dpiX) * width / camera.width);
}

// The walk goes through the camera's sizes once, in the library's order,
// with a cursor on the DPI items: a size that reaches the item's value is
// the item's size (a later one replaces an earlier one); a size below it
// moves the cursor on and is not offered to the next item. Items the walk
// never assigned from the cursor on take the camera's last size; items it
// passed keep the first size they started with.
std::vector<ResolutionEntry> BuildDpiList(const std::vector<ResolutionEntry>& cameraSizes,
                                          const std::vector<int>& dpiChoices,
                                          const CameraInfo& camera) {
  std::vector<ResolutionEntry> items;
  if (cameraSizes.empty()) return items;
  items.reserve(dpiChoices.size());
  for (int dpi : dpiChoices) {
    ResolutionEntry item = cameraSizes.front();
    item.label.clear();
    item.dpi = dpi;
    items.push_back(item);
  }
  std::vector<bool> assigned(items.size(), false);
  std::size_t cursor = 0;
  for (const ResolutionEntry& size : cameraSizes) {
    if (cursor >= items.size()) break;
    if (DpiOfSize(camera, size.width) >= items[cursor].dpi) {
      const int dpi = items[cursor].dpi;
      items[cursor] = size;
      items[cursor].label.clear();
      items[cursor].dpi = dpi;
      assigned[cursor] = true;
    } else {
      ++cursor;
    }
  }
  const ResolutionEntry& last = cameraSizes.back();
  for (std::size_t i = cursor; i < items.size(); ++i) {
    if (assigned[i]) continue;
    const int dpi = items[i].dpi;
    items[i] = last;
    items[i].label.clear();
    items[i].dpi = dpi;
  }
  return items;
}

std::u16string ResolutionItemText(const ResolutionEntry& entry) {
  return Ascii(std::to_string(entry.width) + "x" + std::to_string(entry.height) + "(") +
         entry.label + u")";
}

std::u16string DpiItemText(const ResolutionEntry& entry) {
  return Ascii(std::to_string(entry.dpi));
}

int OpenCamera(CameraLibrary& library, int camera, int mediaType, int width, int height) {
  constexpr int kFallbackWidthPx = 640;
  constexpr int kFallbackHeightPx = 480;
  int opened = library.camOpenDev(camera, mediaType, width, height);
  if (opened != 0) opened = library.camOpenDev(camera, 0, kFallbackWidthPx, kFallbackHeightPx);
  // A camera without that size (a document camera that only offers its
  // large ones) still opens, at a size of its own.
  int ownWidth = 0;
  int ownHeight = 0;
  if (opened != 0 && library.camGetResolution(camera, 0, 0, &ownWidth, &ownHeight) == 0) {
    opened = library.camOpenDev(camera, 0, ownWidth, ownHeight);
  }
  return opened;
}

}  // namespace tavrin
