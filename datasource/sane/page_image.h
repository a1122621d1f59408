// A delivered image file decoded into the pixels that sane_read streams.
// Threads: any; the functions are pure functions on bytes, and a
// PageMaker or BandResampler is used by one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin::sane {

enum class PixelKind { kColor, kGray, kLineart };

struct Page {
  int widthPx = 0;
  int heightPx = 0;
  PixelKind kind = PixelKind::kColor;
  int dpiX = 0;  // 0 when the file does not say
  int dpiY = 0;
  int bytesPerLine = 0;
  std::vector<uint8_t> data;  // rows of bytesPerLine, top to bottom
};

// The window writes JPEG, PNG or BMP; anything else, a broken file or a
// page too large to hold is refused with a reason in error.
bool DecodePage(std::string_view bytes, PixelKind kind, Page& page, std::string& error);

// Pixels across mm at dpi, rounded.
int PixelsOf(double mm, double dpi);

// What a frontend gets: the page at exactly the resolution it set.
struct PageRequest {
  PixelKind kind = PixelKind::kColor;
  int dpi = 300;
  // Cut this part (in mm from the picture's top left corner) out of the
  // picture first, as a scan area of the camera's field.
  bool cut = false;
  double leftMm = 0, topMm = 0, rightMm = 0, bottomMm = 0;
  // Above 0: the picture is a page looked for in the area above, which is
  // narrower than the camera's field of this width (mm), or, when none lay
  // wholly inside it, the whole field, from which the area is cut.
  double searchedFieldWidthMm = 0;
  // Percent, -100 to 100: lighter or darker, more or less contrast.
  int brightness = 0;
  int contrast = 0;
  // Black and white: a grey level below this is black.
  int threshold = 128;
};

// Brightness and contrast (percent, -100 to 100) on 8-bit levels, in place.
void AdjustLevels(std::vector<uint8_t>& levels, int brightness, int contrast);
void AdjustLevels(uint8_t* levels, size_t count, int brightness, int contrast);

// Resamples in bands of rows, top to bottom, so that the first rows can
// go on while the later ones are made: averaging where it shrinks,
// interpolating where it grows, as Resample below. pixels must stay valid
// while it is used.
class BandResampler {
 public:
  // Asked before rows of pixels are read: whether the first rows of them
  // are there (a picture still being decoded); none, when all are.
  using RowsNeeded = std::function<bool(int rows)>;
  BandResampler(const uint8_t* pixels, int widthPx, int heightPx, int channels, int newWidthPx,
                int newHeightPx, RowsNeeded rowsNeeded = {});
  ~BandResampler();
  BandResampler(BandResampler&&) noexcept;
  BandResampler& operator=(BandResampler&&) noexcept;
  // The next rows, at most rows of them, into out (newWidthPx * channels
  // bytes a row); how many were made, 0 once all were, -1 when the rows
  // it needed did not come.
  int NextRows(int rows, uint8_t* out);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

class JpegRows;

// A page made ready in bands: Begin reads the file's header (a PNG or BMP
// file is decoded whole) and settles the page's exact size, and the rows
// then come band by band into page.data, which Begin sized for all of
// them, so rows already made never move. A JPEG file is decoded as its
// rows are needed.
class PageMaker {
 public:
  PageMaker();
  ~PageMaker();
  // Its resampler reads from its own buffers.
  PageMaker(const PageMaker&) = delete;
  PageMaker& operator=(const PageMaker&) = delete;
  // As PreparePage, without the rows.
  bool Begin(std::string_view bytes, const PageRequest& request, Page& page, std::string& error,
             bool* dpiGuessed = nullptr);
  // The next rows of page, at most rows of them; how many were made, 0
  // once all were, -1 with Error() when the file breaks off or is broken
  // further in (no row of it is then made). Throws std::bad_alloc.
  int MakeRows(Page& page, int rows);
  int RowsMade() const { return rowsMade_; }
  const std::string& Error() const { return error_; }

 private:
  // Makes the first rows of the picture to resample there: decoded, and
  // cut from the file's picture when an area is cut.
  bool NeedRows(int rows);
  void Clear();

  std::string file_;  // a JPEG file's bytes, decoded as they are needed
  std::unique_ptr<JpegRows> jpeg_;
  // The file's picture, decodedRows_ of it so far: a PNG or BMP file's
  // whole, or a JPEG file's rows as they are decoded, into memory not
  // cleared first (each row is written before it is read).
  std::vector<uint8_t> decodedWhole_;
  std::unique_ptr<uint8_t[]> decodedLater_;
  uint8_t* decoded_ = nullptr;
  int decodedWidth_ = 0;
  int decodedHeight_ = 0;
  int decodedRows_ = 0;
  int channels_ = 1;
  // The area cut from it, cutRows_ of its rows so far; unused without a cut.
  bool cut_ = false;
  int cutX_ = 0;
  int cutY_ = 0;
  int cutWidth_ = 0;
  int cutHeight_ = 0;
  int cutRows_ = 0;
  std::unique_ptr<uint8_t[]> cutPixels_;  // not cleared either
  std::optional<BandResampler> resampler_;
  std::vector<uint8_t> greyBand_;  // black and white: the levels before the threshold
  PageRequest request_;
  int rowsMade_ = 0;
  std::string error_;
};

// Decodes the file and gives it the pixel size its physical size (from the
// DPI written in the file) has at request.dpi, cutting the area first.
// A file that names no DPI is taken as already at request.dpi, with
// dpiGuessed set. page.dpiX and dpiY are request.dpi afterwards.
bool PreparePage(std::string_view bytes, const PageRequest& request, Page& page, std::string& error,
                 bool* dpiGuessed = nullptr);

// Resamples 8-bit pixels of channels bytes each to width x height:
// averaging where it shrinks, interpolating where it grows.
std::vector<uint8_t> Resample(const uint8_t* pixels, int widthPx, int heightPx, int channels,
                              int newWidthPx, int newHeightPx);

// One bit a pixel, most significant bit first, 1 for black: what a grey
// level below threshold becomes.
std::vector<uint8_t> PackLineart(const uint8_t* grey, int widthPx, int heightPx, int strideBytes,
                                 int threshold = 128);

}  // namespace tavrin::sane
