#include "lens/src/stages/text_raster.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <vector>

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_SYNTHESIS_H

namespace tavrin::lens {

namespace {

// fontconfig's configuration is process-wide and its calls are not all
// safe to run side by side; FreeType needs a library object per thread,
// which each call makes for itself.
std::mutex& FontconfigMutex() {
  static std::mutex mutex;
  return mutex;
}

std::u32string DecodeUtf8(const std::string& text) {
  std::u32string out;
  size_t i = 0;
  while (i < text.size()) {
    const auto byte = static_cast<unsigned char>(text[i]);
    int extra = 0;
    char32_t code = 0;
    if (byte < 0x80) {
      code = byte;
    } else if ((byte & 0xE0) == 0xC0) {
      extra = 1;
      code = byte & 0x1F;
    } else if ((byte & 0xF0) == 0xE0) {
      extra = 2;
      code = byte & 0x0F;
    } else if ((byte & 0xF8) == 0xF0) {
      extra = 3;
      code = byte & 0x07;
    } else {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    bool valid = true;
    for (int k = 1; valid && k <= extra; ++k) {
      if (i + k >= text.size()) {
        valid = false;
        break;
      }
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) valid = false;
      code = (code << 6) | (next & 0x3F);
    }
    if (!valid) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    out.push_back(code);
    i += extra + 1;
  }
  return out;
}

struct FontFile {
  std::string path;
  int index = 0;
};

// The file fontconfig offers for the family and style; when the best match
// lacks some of the characters, a second request asks for a face that has
// them (a CJK watermark with a Latin family name).
std::optional<FontFile> MatchFont(const TextStyle& style, const std::u32string& characters,
                                  bool requireCharacters) {
  std::lock_guard lock(FontconfigMutex());
  if (FcInit() == FcFalse) return std::nullopt;
  FcPattern* pattern = FcPatternCreate();
  if (pattern == nullptr) return std::nullopt;
  if (!style.family.empty()) {
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(style.family.c_str()));
  }
  FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>("sans-serif"));
  FcPatternAddInteger(pattern, FC_WEIGHT, style.bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
  FcPatternAddInteger(pattern, FC_SLANT, style.italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
  FcPatternAddBool(pattern, FC_SCALABLE, FcTrue);
  FcCharSet* charset = nullptr;
  if (requireCharacters) {
    charset = FcCharSetCreate();
    for (char32_t c : characters) FcCharSetAddChar(charset, static_cast<FcChar32>(c));
    FcPatternAddCharSet(pattern, FC_CHARSET, charset);
  }
  FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result = FcResultNoMatch;
  FcPattern* match = FcFontMatch(nullptr, pattern, &result);
  std::optional<FontFile> found;
  if (match != nullptr) {
    FcChar8* file = nullptr;
    int index = 0;
    if (FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch && file != nullptr) {
      FcPatternGetInteger(match, FC_INDEX, 0, &index);
      found = FontFile{reinterpret_cast<const char*>(file), index};
    }
    FcPatternDestroy(match);
  }
  if (charset != nullptr) FcCharSetDestroy(charset);
  FcPatternDestroy(pattern);
  return found;
}

struct FreeTypeLibrary {
  FT_Library library = nullptr;
  FreeTypeLibrary() {
    if (FT_Init_FreeType(&library) != 0) library = nullptr;
  }
  ~FreeTypeLibrary() {
    if (library != nullptr) FT_Done_FreeType(library);
  }
  FreeTypeLibrary(const FreeTypeLibrary&) = delete;
  FreeTypeLibrary& operator=(const FreeTypeLibrary&) = delete;
};

struct Face {
  FT_Face face = nullptr;
  ~Face() {
    if (face != nullptr) FT_Done_Face(face);
  }
};

bool HasAll(FT_Face face, const std::u32string& characters) {
  return std::all_of(characters.begin(), characters.end(), [&](char32_t c) {
    return c == ' ' || c == 0xFFFD || FT_Get_Char_Index(face, c) != 0;
  });
}

bool OpenFace(FT_Library library, const FontFile& file, int pixelSize, Face& face) {
  if (FT_New_Face(library, file.path.c_str(), file.index, &face.face) != 0) {
    face.face = nullptr;
    return false;
  }
  return FT_Set_Pixel_Sizes(face.face, 0, static_cast<FT_UInt>(pixelSize)) == 0;
}

struct Glyph {
  cv::Mat coverage;
  double penX = 0.0;  // pen position at this glyph, pixels
  int left = 0;       // bitmap's offset from the pen
  int top = 0;        // bitmap's top above the baseline
};

}  // namespace

cv::Point TextMargins(double lineHeight) {
  return {static_cast<int>(std::ceil(0.5 * lineHeight)) + 2,
          static_cast<int>(std::ceil(0.3 * lineHeight)) + 2};
}

std::optional<RasterText> RasterizeText(const std::string& utf8, const TextStyle& style) {
  const std::u32string characters = DecodeUtf8(utf8);
  if (characters.empty() || style.pixelSize <= 0) return std::nullopt;
  FreeTypeLibrary freetype;
  if (freetype.library == nullptr) return std::nullopt;

  Face face;
  const auto first = MatchFont(style, characters, false);
  if (!first || !OpenFace(freetype.library, *first, style.pixelSize, face)) return std::nullopt;
  if (!HasAll(face.face, characters)) {
    const auto covering = MatchFont(style, characters, true);
    Face other;
    if (covering && covering->path != first->path &&
        OpenFace(freetype.library, *covering, style.pixelSize, other) &&
        HasAll(other.face, characters)) {
      std::swap(face.face, other.face);
    }
  }
  FT_Face ft = face.face;
  // A family without a bold or italic face gets them drawn from the regular
  // one, as Qt does.
  const bool emboldens = style.bold && (ft->style_flags & FT_STYLE_FLAG_BOLD) == 0;
  const bool slants = style.italic && (ft->style_flags & FT_STYLE_FLAG_ITALIC) == 0;

  std::vector<Glyph> glyphs;
  double pen = 0.0;
  FT_UInt previous = 0;
  for (char32_t c : characters) {
    const FT_UInt index = FT_Get_Char_Index(ft, c);
    if (FT_HAS_KERNING(ft) && previous != 0 && index != 0) {
      FT_Vector kerning{};
      if (FT_Get_Kerning(ft, previous, index, FT_KERNING_DEFAULT, &kerning) == 0) {
        pen += kerning.x / 64.0;
      }
    }
    previous = index;
    if (FT_Load_Glyph(ft, index, FT_LOAD_DEFAULT | FT_LOAD_NO_BITMAP) != 0) continue;
    FT_GlyphSlot slot = ft->glyph;
    if (emboldens) FT_GlyphSlot_Embolden(slot);
    if (slants) FT_GlyphSlot_Oblique(slot);
    if (FT_Render_Glyph(slot, FT_RENDER_MODE_NORMAL) != 0) continue;
    const FT_Bitmap& bitmap = slot->bitmap;
    Glyph glyph;
    glyph.penX = pen;
    glyph.left = slot->bitmap_left;
    glyph.top = slot->bitmap_top;
    if (bitmap.rows > 0 && bitmap.width > 0 && bitmap.pixel_mode == FT_PIXEL_MODE_GRAY) {
      const cv::Mat view(static_cast<int>(bitmap.rows), static_cast<int>(bitmap.width), CV_8UC1,
                         bitmap.buffer, static_cast<size_t>(std::abs(bitmap.pitch)));
      glyph.coverage = view.clone();
    }
    glyphs.push_back(std::move(glyph));
    pen += slot->advance.x / 64.0;
  }

  RasterText text;
  text.advance = pen;
  text.ascent = ft->size->metrics.ascender / 64.0;
  text.descent = -ft->size->metrics.descender / 64.0;
  const double height = text.ascent + text.descent;
  const cv::Point margin = TextMargins(height);
  const int marginX = margin.x;
  const int marginY = margin.y;
  text.origin = cv::Point2d(marginX, marginY);
  const cv::Size size(static_cast<int>(std::ceil(text.advance)) + 2 * marginX,
                      static_cast<int>(std::ceil(height)) + 2 * marginY);
  text.coverage = cv::Mat::zeros(size, CV_8UC1);
  const double baseline = marginY + text.ascent;
  const cv::Rect canvas(0, 0, size.width, size.height);
  for (const Glyph& glyph : glyphs) {
    if (glyph.coverage.empty()) continue;
    const cv::Rect place(static_cast<int>(std::lround(marginX + glyph.penX)) + glyph.left,
                         static_cast<int>(std::lround(baseline)) - glyph.top, glyph.coverage.cols,
                         glyph.coverage.rows);
    const cv::Rect inside = place & canvas;
    if (inside.empty()) continue;
    cv::Mat target = text.coverage(inside);
    const cv::Mat source = glyph.coverage(cv::Rect(inside.tl() - place.tl(), inside.size()));
    cv::max(target, source, target);
  }
  if (style.underline) {
    double position = text.descent / 2;
    double thickness = std::max(1.0, style.pixelSize / 14.0);
    if (FT_IS_SCALABLE(ft) && ft->underline_thickness > 0) {
      position = -FT_MulFix(ft->underline_position, ft->size->metrics.y_scale) / 64.0;
      thickness =
          std::max(1.0, FT_MulFix(ft->underline_thickness, ft->size->metrics.y_scale) / 64.0);
    }
    const int top = static_cast<int>(std::lround(baseline + position - thickness / 2));
    const cv::Rect line(marginX, top, static_cast<int>(std::ceil(text.advance)),
                        std::max(1, static_cast<int>(std::lround(thickness))));
    text.coverage(line & canvas).setTo(255);
  }
  return text;
}

}  // namespace tavrin::lens
