// The entries behind the resolution list: the camera's sizes filtered and
// named by the naming table, or one entry per offered DPI value.
#pragma once

#include <string>
#include <vector>

namespace tavrin {

class CameraLibrary;

struct ResolutionEntry {
  int width = 0;            // pixels
  int height = 0;           // pixels
  int resolutionIndex = 0;  // position in the camera's list
  int mediaTypeIndex = 0;
  int dpi = 0;  // only in the DPI unit
  std::u16string label;
};

// One camera's current size and its own DPI at that size.
struct CameraInfo {
  int width = 0;  // pixels
  int height = 0;
  int dpiX = 0;
  int dpiY = 0;
};

// The 17 named sizes, largest first; a label may occur twice.
std::vector<ResolutionEntry> MakeNamingTable();
// DPI values the DPI unit offers, in order.
std::vector<int> MakeDpiChoices();

// Keeps the sizes the naming table names (labelled from its first matching
// row) and, unlabelled, those wider and taller than its first row.
void FilterAndLabel(std::vector<ResolutionEntry>& entries,
                    const std::vector<ResolutionEntry>& namingTable);

// DPI of a camera size, relative to the camera's own DPI at its current
// width; 0 when that width is unknown.
int DpiOfSize(const CameraInfo& camera, int width);

// One entry per DPI value, each carrying the camera size that gives it (see
// the .cpp for the walk). Empty when the camera has no sizes.
std::vector<ResolutionEntry> BuildDpiList(const std::vector<ResolutionEntry>& cameraSizes,
                                          const std::vector<int>& dpiChoices,
                                          const CameraInfo& camera);

// "%dx%d(%s)" in the resolution unit, "%d" in the DPI unit.
std::u16string ResolutionItemText(const ResolutionEntry& entry);
std::u16string DpiItemText(const ResolutionEntry& entry);

// Opens a camera at the remembered size, else at 640x480, else at the
// first size of its first media type; the library's status of the last try.
int OpenCamera(CameraLibrary& library, int camera, int mediaType, int width, int height);

}  // namespace tavrin
