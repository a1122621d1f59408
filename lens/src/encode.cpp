#include "lens/src/encode.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <thread>
#include <vector>

#include <jpeglib.h>
#include <zlib.h>

#include <QImage>

#include "platform/files.h"

namespace tavrin::lens {

namespace {

constexpr double kMetresPerInch = 0.0254;

void SetError(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
}

int DotsPerMetre(int dpi) {
  return static_cast<int>(std::lround(dpi / kMetresPerInch));
}

void PutLittle16(std::string& bytes, size_t at, uint32_t value) {
  bytes[at] = static_cast<char>(value & 0xFF);
  bytes[at + 1] = static_cast<char>((value >> 8) & 0xFF);
}

void PutLittle32(std::string& bytes, size_t at, uint32_t value) {
  PutLittle16(bytes, at, value & 0xFFFF);
  PutLittle16(bytes, at + 2, value >> 16);
}

// Both encoders split a picture into bands of rows compressed at once:
// one band per workPerBand of work, no more bands than cores, than limit or
// than 16.
int BandCount(size_t work, size_t workPerBand, size_t limit) {
  const size_t cores = std::max(1U, std::thread::hardware_concurrency());
  const size_t wanted = std::max<size_t>(1, work / workPerBand);
  return static_cast<int>(std::min({cores, wanted, limit, size_t{16}}));
}

// Runs compress(i) for every band i: the first on the calling thread, the
// others each on a thread of its own; returns when all are done.
template <typename Compress>
void CompressBands(int bandCount, const Compress& compress) {
  std::vector<std::jthread> workers;
  for (int i = 1; i < bandCount; ++i) workers.emplace_back([&compress, i] { compress(i); });
  compress(0);
}

// libjpeg reports a fatal error through error_exit, which must not return;
// it jumps back to the band's compression, which then fails.
struct JpegErrors {
  jpeg_error_mgr manager{};
  std::jmp_buf escape{};
  char message[JMSG_LENGTH_MAX] = {};
};

[[noreturn]] void JpegErrorExit(j_common_ptr info) {
  auto* errors = reinterpret_cast<JpegErrors*>(info->err);
  info->err->format_message(info, errors->message);
  std::longjmp(errors->escape, 1);
}

// One band of rows of a JPEG picture, compressed as a picture of its own
// with a restart marker after every row of MCUs. The entropy-coded data of
// the bands then joins into one picture (the DC predictions restart at each
// band's first row too), so the bands can be compressed on every core at
// once and decode to the same pixels as one pass over the whole picture.
struct JpegBand {
  int firstRow = 0;
  int endRow = 0;
  std::string bytes;
  std::string error;
};

void CompressJpegBand(const cv::Mat& image, int dpiX, int dpiY, bool restarts, JpegBand& band) {
  jpeg_compress_struct info{};
  JpegErrors errors;
  info.err = jpeg_std_error(&errors.manager);
  errors.manager.error_exit = JpegErrorExit;
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  // Nothing with a destructor lives between here and the jump back.
  if (setjmp(errors.escape) != 0) {
    band.error = std::string("JPEG compression failed: ") + errors.message;
    jpeg_destroy_compress(&info);
    std::free(buffer);
    return;
  }
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, &buffer, &size);
  const bool grey = image.channels() == 1;
  info.image_width = static_cast<JDIMENSION>(image.cols);
  info.image_height = static_cast<JDIMENSION>(band.endRow - band.firstRow);
  info.input_components = grey ? 1 : 3;
  info.in_color_space = grey ? JCS_GRAYSCALE : JCS_EXT_BGR;
  // 4:2:0 for colour (the library's default) and the fast DCT, as the
  // turbo compressor's plain call gives at this quality.
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, kJpegQuality, TRUE);
  info.dct_method = JDCT_FASTEST;
  if (dpiX > 0 && dpiY > 0) {
    info.density_unit = 1;  // dots per inch
    info.X_density = static_cast<UINT16>(std::clamp(dpiX, 1, 65535));
    info.Y_density = static_cast<UINT16>(std::clamp(dpiY, 1, 65535));
  }
  if (restarts) info.restart_in_rows = 1;
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    JSAMPROW rows[16];
    JDIMENSION count = 0;
    for (; count < 16 && info.next_scanline + count < info.image_height; ++count) {
      rows[count] = const_cast<JSAMPROW>(
          image.ptr<uint8_t>(band.firstRow + static_cast<int>(info.next_scanline + count)));
    }
    jpeg_write_scanlines(&info, rows, count);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  band.bytes.assign(reinterpret_cast<const char*>(buffer), size);
  std::free(buffer);
}

// Where the entropy-coded data of a band starts: after its SOS segment.
// 0 when the stream has none, or no frame header before it.
size_t EntropyStart(const std::string& bytes, size_t* frameHeader) {
  size_t at = 2;
  while (at + 4 <= bytes.size() && static_cast<unsigned char>(bytes[at]) == 0xFF) {
    const auto marker = static_cast<unsigned char>(bytes[at + 1]);
    const size_t length = (static_cast<unsigned char>(bytes[at + 2]) << 8) |
                          static_cast<unsigned char>(bytes[at + 3]);
    if (marker == 0xC0 && frameHeader != nullptr) *frameHeader = at;
    if (marker == 0xDA) return at + 2 + length;
    at += 2 + length;
  }
  return 0;
}

// Appends a band's entropy-coded data (without its EOI), numbering its
// restart markers on from the ones already written.
void AppendEntropyData(std::string& out, const std::string& band, size_t from, int& restart) {
  const size_t end = band.size() - 2;  // the EOI
  size_t at = from;
  while (at < end) {
    const void* found = std::memchr(band.data() + at, 0xFF, end - at);
    const size_t next = found == nullptr ? end : static_cast<const char*>(found) - band.data();
    out.append(band, at, next - at);
    if (next >= end) break;
    const auto marker = static_cast<unsigned char>(band[next + 1]);
    out.push_back(static_cast<char>(0xFF));
    if (marker >= 0xD0 && marker <= 0xD7) {
      out.push_back(static_cast<char>(0xD0 + restart));
      restart = (restart + 1) % 8;
    } else {
      out.push_back(static_cast<char>(marker));  // a stuffed zero
    }
    at = next + 2;
  }
}

bool EncodeJpeg(const cv::Mat& image, int dpiX, int dpiY, std::string& bytes, std::string* error) {
  if (image.cols > 65500 || image.rows > 65500) {
    SetError(error, "image too large for JPEG");
    return false;
  }
  // Bands start on a row of MCUs: 16 picture rows in 4:2:0 colour, 8 in grey.
  const int mcuRows = image.channels() == 1 ? 8 : 16;
  constexpr size_t kPixelsPerBand = 1 << 20;
  const int rowsOfMcus = (image.rows + mcuRows - 1) / mcuRows;
  const int bandCount = BandCount(image.total(), kPixelsPerBand, static_cast<size_t>(rowsOfMcus));
  std::vector<JpegBand> bands(static_cast<size_t>(bandCount));
  for (int i = 0; i < bandCount; ++i) {
    bands[i].firstRow = std::min(image.rows, rowsOfMcus * i / bandCount * mcuRows);
    bands[i].endRow = std::min(image.rows, rowsOfMcus * (i + 1) / bandCount * mcuRows);
  }
  const bool restarts = bandCount > 1;
  CompressBands(bandCount, [&](int i) { CompressJpegBand(image, dpiX, dpiY, restarts, bands[i]); });
  for (const JpegBand& band : bands) {
    if (!band.error.empty()) {
      SetError(error, band.error);
      return false;
    }
  }
  if (!restarts) {
    bytes = std::move(bands[0].bytes);
    return true;
  }

  size_t frameHeader = 0;
  const size_t headerEnd = EntropyStart(bands[0].bytes, &frameHeader);
  if (headerEnd == 0 || frameHeader == 0) {
    SetError(error, "JPEG stream without frame or scan header");
    return false;
  }
  size_t total = 0;
  for (const JpegBand& band : bands) total += band.bytes.size();
  bytes.clear();
  bytes.reserve(total);
  bytes.append(bands[0].bytes, 0, headerEnd);
  // The first band's frame header becomes the whole picture's.
  bytes[frameHeader + 5] = static_cast<char>(image.rows >> 8);
  bytes[frameHeader + 6] = static_cast<char>(image.rows & 0xFF);
  int restart = 0;
  for (size_t i = 0; i < bands.size(); ++i) {
    if (i > 0) {
      bytes.push_back(static_cast<char>(0xFF));
      bytes.push_back(static_cast<char>(0xD0 + restart));
      restart = (restart + 1) % 8;
    }
    const size_t from = i == 0 ? headerEnd : EntropyStart(bands[i].bytes, nullptr);
    if (from == 0) {
      SetError(error, "JPEG stream without scan header");
      return false;
    }
    AppendEntropyData(bytes, bands[i].bytes, from, restart);
  }
  bytes.push_back(static_cast<char>(0xFF));
  bytes.push_back(static_cast<char>(0xD9));
  return true;
}

// Both black-and-white modes give a grey picture of only 0 and 255; such a
// picture is written with one bit a pixel, which every reader opens and
// which is about eight times smaller and faster to write. A grey picture
// that happens to hold nothing else loses nothing by it either.
bool IsBilevel(const cv::Mat& image) {
  if (image.channels() != 1) return false;
  for (int y = 0; y < image.rows; ++y) {
    const uint8_t* row = image.ptr<uint8_t>(y);
    uint8_t other = 0;
    for (int x = 0; x < image.cols; ++x) {
      // 0 and 255 both become 0 or 1 here; every other value is larger.
      other |= static_cast<uint8_t>(static_cast<uint8_t>(row[x] + 1) > 1);
    }
    if (other != 0) return false;
  }
  return true;
}

// Eight pixels a byte, the leftmost in the most significant bit, 1 for
// white: the PNG grey sample and the BMP palette index agree on this.
void PackBits(const uint8_t* in, int width, uint8_t* out) {
  const int whole = width / 8;
  for (int i = 0; i < whole; ++i) {
    const uint8_t* p = in + i * 8;
    out[i] = static_cast<uint8_t>((p[0] & 0x80) | (p[1] & 0x40) | (p[2] & 0x20) | (p[3] & 0x10) |
                                  (p[4] & 0x08) | (p[5] & 0x04) | (p[6] & 0x02) | (p[7] & 0x01));
  }
  if (width % 8 != 0) {
    uint8_t last = 0;
    for (int x = whole * 8; x < width; ++x) {
      if (in[x] != 0) last |= static_cast<uint8_t>(0x80 >> (x & 7));
    }
    out[whole] = last;
  }
}

// A BMP file as pieces to be written in order: the headers, then the rows
// bottom-up, each padded to four bytes. Grey and colour rows are the
// picture's own, so that a large picture goes to its file without a copy
// of it; black-and-white rows are packed into packed.
struct BmpFile {
  std::string header;
  std::vector<uint8_t> packed;
  std::vector<std::string_view> pieces;
};

bool LayOutBmp(const cv::Mat& image, int dpiX, int dpiY, BmpFile& file, std::string* error) {
  const bool grey = image.channels() == 1;
  const bool bilevel = IsBilevel(image);
  const uint32_t bitsPerPixel = bilevel ? 1 : grey ? 8 : 24;
  const uint64_t rowBytes =
      ((static_cast<uint64_t>(image.cols) * bitsPerPixel + 7) / 8 + 3) & ~3ULL;
  const uint32_t paletteEntries = bilevel ? 2 : grey ? 256 : 0;
  const uint32_t headerBytes = 14 + 40 + paletteEntries * 4;
  const uint64_t total = headerBytes + rowBytes * static_cast<uint64_t>(image.rows);
  if (total > 0xFFFFFFFFULL) {
    SetError(error, "image too large for BMP");
    return false;
  }
  std::string& bytes = file.header;
  bytes.assign(headerBytes, '\0');
  bytes[0] = 'B';
  bytes[1] = 'M';
  PutLittle32(bytes, 2, static_cast<uint32_t>(total));
  PutLittle32(bytes, 10, headerBytes);
  PutLittle32(bytes, 14, 40);
  PutLittle32(bytes, 18, static_cast<uint32_t>(image.cols));
  PutLittle32(bytes, 22, static_cast<uint32_t>(image.rows));  // bottom-up
  PutLittle16(bytes, 26, 1);
  PutLittle16(bytes, 28, bitsPerPixel);
  PutLittle32(bytes, 34, static_cast<uint32_t>(rowBytes * image.rows));
  PutLittle32(bytes, 38, static_cast<uint32_t>(dpiX > 0 ? DotsPerMetre(dpiX) : 0));
  PutLittle32(bytes, 42, static_cast<uint32_t>(dpiY > 0 ? DotsPerMetre(dpiY) : 0));
  if (paletteEntries > 0) {
    PutLittle32(bytes, 46, paletteEntries);
    PutLittle32(bytes, 50, paletteEntries);
    const uint32_t step = 255 / (paletteEntries - 1);
    for (uint32_t i = 0; i < paletteEntries; ++i) {
      const uint32_t level = i * step;
      PutLittle32(bytes, 54 + i * 4, (level << 16) | (level << 8) | level);
    }
  }
  file.pieces.clear();
  file.pieces.push_back(file.header);
  if (bilevel) {
    file.packed.assign(static_cast<size_t>(rowBytes * image.rows), 0);
    for (int y = 0; y < image.rows; ++y) {
      PackBits(image.ptr<uint8_t>(y), image.cols,
               file.packed.data() + static_cast<size_t>(rowBytes) * (image.rows - 1 - y));
    }
    file.pieces.emplace_back(reinterpret_cast<const char*>(file.packed.data()), file.packed.size());
    return true;
  }
  static constexpr char kPadding[4] = {};
  const size_t samples = static_cast<size_t>(image.cols) * image.channels();
  const size_t padding = static_cast<size_t>(rowBytes) - samples;
  file.pieces.reserve(1 + static_cast<size_t>(image.rows) * (padding > 0 ? 2 : 1));
  for (int y = image.rows - 1; y >= 0; --y) {
    file.pieces.emplace_back(image.ptr<char>(y), samples);
    if (padding > 0) file.pieces.emplace_back(kPadding, padding);
  }
  return true;
}

bool EncodeBmp(const cv::Mat& image, int dpiX, int dpiY, std::string& bytes, std::string* error) {
  BmpFile file;
  if (!LayOutBmp(image, dpiX, dpiY, file, error)) return false;
  size_t total = 0;
  for (const std::string_view piece : file.pieces) total += piece.size();
  bytes.clear();
  bytes.reserve(total);
  for (const std::string_view piece : file.pieces) bytes.append(piece);
  return true;
}

void PutBig32(std::string& bytes, uint32_t value) {
  bytes.push_back(static_cast<char>(value >> 24));
  bytes.push_back(static_cast<char>((value >> 16) & 0xFF));
  bytes.push_back(static_cast<char>((value >> 8) & 0xFF));
  bytes.push_back(static_cast<char>(value & 0xFF));
}

void PutPngChunk(std::string& bytes, const char (&type)[5], const std::string& data) {
  PutBig32(bytes, static_cast<uint32_t>(data.size()));
  const size_t typeAt = bytes.size();
  bytes.append(type, 4);
  bytes.append(data);
  const auto* crcStart = reinterpret_cast<const Bytef*>(bytes.data() + typeAt);
  PutBig32(bytes, static_cast<uint32_t>(crc32_z(0, crcStart, bytes.size() - typeAt)));
}

// One band of rows of a PNG picture, filtered and deflated on its own so
// that the bands can be compressed on every core at once. A band that is
// not the last ends with a sync flush: it stops on a byte boundary with no
// final block, so the bands joined in order are one valid deflate stream
// (the zlib header goes before the first, the combined Adler-32 after the
// last).
struct PngBand {
  int firstRow = 0;
  int endRow = 0;
  bool last = false;
  std::string deflated;
  uLong adler = 1;
  uLong crc = 0;
  size_t filteredBytes = 0;
  bool ok = false;
};

// The PNG row for one picture row: the filter byte, then the samples in
// PNG order (RGB, grey, or packed bits). Camera pictures compress best
// after the "up" filter, which costs one subtraction a byte; packed
// black-and-white rows are left unfiltered, where long runs of equal
// bytes already are what deflate finds.
void FilterPngRow(const cv::Mat& image, int y, bool bilevel, std::vector<uint8_t>& previous,
                  uint8_t* out) {
  const uint8_t* in = image.ptr<uint8_t>(y);
  if (bilevel) {
    out[0] = 0;
    PackBits(in, image.cols, out + 1);
    return;
  }
  const size_t samples = static_cast<size_t>(image.cols) * image.channels();
  out[0] = 2;
  uint8_t* current = out + 1;
  if (image.channels() == 3) {
    for (int x = 0; x < image.cols; ++x) {
      const uint8_t red = in[3 * x + 2];
      const uint8_t green = in[3 * x + 1];
      const uint8_t blue = in[3 * x];
      current[3 * x] = static_cast<uint8_t>(red - previous[3 * x]);
      current[3 * x + 1] = static_cast<uint8_t>(green - previous[3 * x + 1]);
      current[3 * x + 2] = static_cast<uint8_t>(blue - previous[3 * x + 2]);
      previous[3 * x] = red;
      previous[3 * x + 1] = green;
      previous[3 * x + 2] = blue;
    }
  } else {
    for (size_t i = 0; i < samples; ++i) {
      current[i] = static_cast<uint8_t>(in[i] - previous[i]);
      previous[i] = in[i];
    }
  }
}

void DeflatePngBand(const cv::Mat& image, bool bilevel, size_t rowBytes, PngBand& band) {
  z_stream stream{};
  // Level 1 keeps the matches a scanned page offers (blank paper, rules)
  // at a small fraction of the default level's time.
  if (deflateInit2(&stream, 1, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) return;
  const size_t samples = static_cast<size_t>(image.cols) * image.channels();
  std::vector<uint8_t> previous(samples, 0);
  if (!bilevel && band.firstRow > 0) {
    // The "up" filter of a band's first row refers to the row above it.
    const uint8_t* above = image.ptr<uint8_t>(band.firstRow - 1);
    for (int x = 0; x < image.cols && image.channels() == 3; ++x) {
      previous[3 * x] = above[3 * x + 2];
      previous[3 * x + 1] = above[3 * x + 1];
      previous[3 * x + 2] = above[3 * x];
    }
    if (image.channels() == 1) std::memcpy(previous.data(), above, samples);
  }
  constexpr int kRowsPerStep = 16;
  std::vector<uint8_t> filtered(rowBytes * kRowsPerStep);
  band.deflated.reserve(rowBytes * static_cast<size_t>(band.endRow - band.firstRow) / 2);
  bool ok = true;
  for (int y = band.firstRow; y < band.endRow && ok; y += kRowsPerStep) {
    const int rows = std::min(kRowsPerStep, band.endRow - y);
    for (int r = 0; r < rows; ++r) {
      FilterPngRow(image, y + r, bilevel, previous, filtered.data() + rowBytes * r);
    }
    const size_t length = rowBytes * rows;
    band.adler = adler32_z(band.adler, filtered.data(), length);
    band.filteredBytes += length;
    const bool finalStep = y + rows >= band.endRow;
    const int flush = !finalStep ? Z_NO_FLUSH : band.last ? Z_FINISH : Z_SYNC_FLUSH;
    stream.next_in = filtered.data();
    stream.avail_in = static_cast<uInt>(length);
    do {
      char chunk[1 << 16];
      stream.next_out = reinterpret_cast<Bytef*>(chunk);
      stream.avail_out = sizeof chunk;
      const int status = deflate(&stream, flush);
      if (status == Z_STREAM_ERROR) {
        ok = false;
        break;
      }
      band.deflated.append(chunk, sizeof chunk - stream.avail_out);
    } while (stream.avail_out == 0);
  }
  deflateEnd(&stream);
  band.crc = crc32_z(0, reinterpret_cast<const Bytef*>(band.deflated.data()), band.deflated.size());
  band.ok = ok;
}

bool EncodePng(const cv::Mat& image, int dpiX, int dpiY, std::string& bytes, std::string* error) {
  const bool bilevel = IsBilevel(image);
  const size_t rowBytes = 1 + (bilevel ? (static_cast<size_t>(image.cols) + 7) / 8
                                       : static_cast<size_t>(image.cols) * image.channels());

  // Small pictures are not worth a thread; large ones use every core.
  constexpr size_t kBytesPerBand = 1 << 20;
  const int bandCount = BandCount(rowBytes * image.rows, kBytesPerBand, SIZE_MAX);
  std::vector<PngBand> bands(static_cast<size_t>(bandCount));
  for (int i = 0; i < bandCount; ++i) {
    bands[i].firstRow = image.rows * i / bandCount;
    bands[i].endRow = image.rows * (i + 1) / bandCount;
    bands[i].last = i + 1 == bandCount;
  }
  CompressBands(bandCount, [&](int i) { DeflatePngBand(image, bilevel, rowBytes, bands[i]); });

  size_t deflatedSize = 2 + 4;
  for (const PngBand& band : bands) {
    if (!band.ok) {
      SetError(error, "PNG compression failed");
      return false;
    }
    deflatedSize += band.deflated.size();
  }
  if (deflatedSize > 0x7FFFFFFFULL) {
    SetError(error, "image too large for PNG");
    return false;
  }

  std::string header;
  PutBig32(header, static_cast<uint32_t>(image.cols));
  PutBig32(header, static_cast<uint32_t>(image.rows));
  header.push_back(static_cast<char>(bilevel ? 1 : 8));                // bit depth
  header.push_back(static_cast<char>(image.channels() == 3 ? 2 : 0));  // RGB or grey
  header.append(3, '\0');  // deflate, adaptive filters, no interlace
  bytes.assign("\x89PNG\r\n\x1a\n", 8);
  PutPngChunk(bytes, "IHDR", header);
  if (dpiX > 0 && dpiY > 0) {
    std::string density;
    PutBig32(density, static_cast<uint32_t>(DotsPerMetre(dpiX)));
    PutBig32(density, static_cast<uint32_t>(DotsPerMetre(dpiY)));
    density.push_back(1);  // per metre
    PutPngChunk(bytes, "pHYs", density);
  }

  // The IDAT chunk is put together from the bands in place; its CRC
  // combines the bands' own, which their threads computed.
  bytes.reserve(bytes.size() + deflatedSize + 24);
  PutBig32(bytes, static_cast<uint32_t>(deflatedSize));
  const size_t typeAt = bytes.size();
  bytes.append("IDAT", 4);
  bytes.push_back(static_cast<char>(0x78));  // deflate, 32 KiB window
  bytes.push_back(static_cast<char>(0x01));  // fastest, no dictionary
  uLong crc = crc32_z(0, reinterpret_cast<const Bytef*>(bytes.data() + typeAt), 6);
  uLong adler = 1;
  for (const PngBand& band : bands) {
    bytes.append(band.deflated);
    crc = crc32_combine(crc, band.crc, static_cast<z_off_t>(band.deflated.size()));
    adler = adler32_combine(adler, band.adler, static_cast<z_off_t>(band.filteredBytes));
  }
  const size_t adlerAt = bytes.size();
  PutBig32(bytes, static_cast<uint32_t>(adler));
  crc = crc32_z(crc, reinterpret_cast<const Bytef*>(bytes.data() + adlerAt), 4);
  PutBig32(bytes, static_cast<uint32_t>(crc));
  PutPngChunk(bytes, "IEND", std::string());
  return true;
}

}  // namespace

ImageFormat FormatForPath(const std::string& path) {
  std::string extension = std::filesystem::path(path).extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (extension.empty() || extension == ".jpg" || extension == ".jpeg") return ImageFormat::kJpeg;
  if (extension == ".png") return ImageFormat::kPng;
  if (extension == ".bmp") return ImageFormat::kBmp;
  return ImageFormat::kUnsupported;
}

bool EncodeImage(const cv::Mat& image, ImageFormat format, int dpiX, int dpiY, std::string& bytes,
                 std::string* error) {
  if (image.empty() || image.depth() != CV_8U || (image.channels() != 1 && image.channels() != 3)) {
    SetError(error, "not an 8-bit grey or BGR image");
    return false;
  }
  switch (format) {
    case ImageFormat::kJpeg:
      return EncodeJpeg(image, dpiX, dpiY, bytes, error);
    case ImageFormat::kPng:
      return EncodePng(image, dpiX, dpiY, bytes, error);
    case ImageFormat::kBmp:
      return EncodeBmp(image, dpiX, dpiY, bytes, error);
    case ImageFormat::kUnsupported:
      break;
  }
  SetError(error, "unsupported file extension");
  return false;
}

bool WriteImageFile(const std::string& path, const cv::Mat& image, int dpiX, int dpiY,
                    std::string* error) {
  if (FormatForPath(path) == ImageFormat::kBmp && !image.empty() && image.depth() == CV_8U &&
      (image.channels() == 1 || image.channels() == 3)) {
    BmpFile file;
    return LayOutBmp(image, dpiX, dpiY, file, error) &&
           platform::ReplaceFileAtomically(path, file.pieces, error);
  }
  std::string bytes;
  if (!EncodeImage(image, FormatForPath(path), dpiX, dpiY, bytes, error)) return false;
  return platform::ReplaceFileAtomically(path, bytes, error);
}

bool WriteImageFile(const std::string& path, const QImage& image, int dpiX, int dpiY,
                    std::string* error) {
  if (image.isNull()) {
    SetError(error, "empty image");
    return false;
  }
  const bool grey = image.format() == QImage::Format_Grayscale8;
  const QImage converted = grey ? image : image.convertToFormat(QImage::Format_BGR888);
  const cv::Mat view(converted.height(), converted.width(), grey ? CV_8UC1 : CV_8UC3,
                     const_cast<uchar*>(converted.constBits()),
                     static_cast<size_t>(converted.bytesPerLine()));
  return WriteImageFile(path, view, dpiX, dpiY, error);
}

}  // namespace tavrin::lens
