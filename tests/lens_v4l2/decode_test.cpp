#include <linux/videodev2.h>
#include <turbojpeg.h>

#include <opencv2/imgproc.hpp>

#include "lens/src/v4l2/decode.h"
#include "platform/files.h"
#include "replay_support.h"

namespace tavrin::lens::v4l2 {
namespace {

using replay::DataPath;

std::string ReadData(const std::string& name) {
  std::string bytes;
  EXPECT_TRUE(platform::ReadWholeFile(DataPath(name), bytes)) << name;
  return bytes;
}

const uint8_t* Bytes(const std::string& data) {
  return reinterpret_cast<const uint8_t*>(data.data());
}

// The recorded frames show colour bars across their top eighth: white, red,
// green, blue, black, grey. Swapped channels, swapped chroma or a wrong byte
// order each move some bar far from its colour.
void ExpectColourBars(const cv::Mat& bgr, int tolerance) {
  ASSERT_EQ(bgr.type(), CV_8UC3);
  const cv::Vec3b expected[6] = {{255, 255, 255}, {0, 0, 255}, {0, 255, 0},
                                 {255, 0, 0},     {0, 0, 0},   {128, 128, 128}};
  for (int bar = 0; bar < 6; ++bar) {
    const cv::Point centre((2 * bar + 1) * bgr.cols / 12, bgr.rows / 16);
    const cv::Vec3b actual = bgr.at<cv::Vec3b>(centre);
    for (int channel = 0; channel < 3; ++channel) {
      EXPECT_NEAR(actual[channel], expected[bar][channel], tolerance)
          << "bar " << bar << " channel " << channel;
    }
  }
}

std::string WithoutHuffmanTables(const std::string& jpeg) {
  std::string out = jpeg.substr(0, 2);
  size_t position = 2;
  while (position + 4 <= jpeg.size()) {
    const uint8_t marker = static_cast<uint8_t>(jpeg[position + 1]);
    if (marker == 0xda) return out + jpeg.substr(position);
    const size_t length = (size_t(uint8_t(jpeg[position + 2])) << 8) | uint8_t(jpeg[position + 3]);
    if (marker != 0xc4) out += jpeg.substr(position, 2 + length);
    position += 2 + length;
  }
  return out;
}

TEST(DecodeTest, RecordedMjpegFrame) {
  const std::string jpeg = ReadData("doccam_mjpg_640x480.jpg");
  FrameDecoder decoder;
  cv::Mat bgr;
  std::string error;
  ASSERT_TRUE(
      decoder.Decode(V4L2_PIX_FMT_MJPEG, Bytes(jpeg), jpeg.size(), 640, 480, 0, bgr, &error))
      << error;
  EXPECT_EQ(bgr.size(), cv::Size(640, 480));
  ExpectColourBars(bgr, 30);
}

TEST(DecodeTest, FrameWithoutHuffmanTablesGetsTheStandardOnes) {
  // Our encoder writes the standard tables, so with them taken out and ours
  // put in, the picture must come out bit for bit the same.
  const std::string original = ReadData("doccam_mjpg_640x480.jpg");
  const std::string stripped = WithoutHuffmanTables(original);
  ASSERT_TRUE(HasHuffmanTables(original));
  ASSERT_FALSE(HasHuffmanTables(stripped));
  const std::string patched = WithStandardHuffmanTables(stripped);
  EXPECT_TRUE(HasHuffmanTables(patched));
  EXPECT_EQ(WithStandardHuffmanTables(original), original);
  EXPECT_EQ(WithStandardHuffmanTables("not a jpeg"), "not a jpeg");

  FrameDecoder decoder;
  cv::Mat expected;
  cv::Mat fromStripped;
  ASSERT_TRUE(
      decoder.Decode(V4L2_PIX_FMT_MJPEG, Bytes(original), original.size(), 640, 480, 0, expected));
  ASSERT_TRUE(decoder.Decode(V4L2_PIX_FMT_MJPEG, Bytes(stripped), stripped.size(), 640, 480, 0,
                             fromStripped));
  EXPECT_EQ(cv::norm(expected, fromStripped, cv::NORM_INF), 0);

  // The webcam's own recorded frame, which never had tables.
  const std::string webcam = ReadData("webcam_mjpg_640x480_nodht.jpg");
  EXPECT_FALSE(HasHuffmanTables(webcam));
  cv::Mat webcamPicture;
  ASSERT_TRUE(
      decoder.Decode(V4L2_PIX_FMT_MJPEG, Bytes(webcam), webcam.size(), 640, 480, 0, webcamPicture));
  ExpectColourBars(webcamPicture, 30);
}

TEST(DecodeTest, BadMjpegFramesAreRefusedAndLeaveThePictureAlone) {
  FrameDecoder decoder;
  const cv::Mat before(4, 4, CV_8UC3, cv::Scalar(1, 2, 3));
  cv::Mat bgr = before.clone();
  const std::string cut = ReadData("webcam_mjpg_640x480_cut.jpg");
  const std::string good = ReadData("doccam_mjpg_640x480.jpg");
  const std::string garbage(5000, '\x55');
  std::string error;
  EXPECT_FALSE(
      decoder.Decode(V4L2_PIX_FMT_MJPEG, Bytes(cut), cut.size(), 640, 480, 0, bgr, &error));
  EXPECT_NE(error.find("corrupt"), std::string::npos) << error;
  EXPECT_FALSE(
      decoder.Decode(V4L2_PIX_FMT_MJPEG, Bytes(garbage), garbage.size(), 640, 480, 0, bgr));
  EXPECT_FALSE(decoder.Decode(V4L2_PIX_FMT_MJPEG, Bytes(good), 3, 640, 480, 0, bgr));
  // A frame of another size than the stream was set to.
  EXPECT_FALSE(
      decoder.Decode(V4L2_PIX_FMT_MJPEG, Bytes(good), good.size(), 1280, 720, 0, bgr, &error));
  EXPECT_NE(error.find("640x480"), std::string::npos) << error;
  EXPECT_EQ(cv::norm(bgr, before, cv::NORM_INF), 0);
  // The decoder is still good for the next frame.
  EXPECT_TRUE(decoder.Decode(V4L2_PIX_FMT_MJPEG, Bytes(good), good.size(), 640, 480, 0, bgr));
}

// What is kept undecoded for a capture must be a whole frame: one cut short
// on the wire is refused at once, padding after the end is not a fault.
TEST(DecodeTest, OnlyWholeFramesOfTheStreamSizeAreKeptUndecoded) {
  FrameDecoder decoder;
  const std::string good = ReadData("doccam_mjpg_640x480.jpg");
  const std::string cut = ReadData("webcam_mjpg_640x480_cut.jpg");
  const std::string padded = good + std::string(3000, '\0');
  std::string error;
  EXPECT_TRUE(decoder.CheckMjpeg(Bytes(good), good.size(), 640, 480));
  EXPECT_TRUE(decoder.CheckMjpeg(Bytes(padded), padded.size(), 640, 480));
  EXPECT_FALSE(decoder.CheckMjpeg(Bytes(cut), cut.size(), 640, 480, &error));
  EXPECT_NE(error.find("cut short"), std::string::npos) << error;
  EXPECT_FALSE(decoder.CheckMjpeg(Bytes(good), good.size() - 2, 640, 480));
  EXPECT_FALSE(decoder.CheckMjpeg(Bytes(good), good.size(), 1280, 720, &error));
  EXPECT_NE(error.find("640x480"), std::string::npos) << error;
}

TEST(DecodeTest, RecordedYuyvAndNv12Frames) {
  FrameDecoder decoder;
  cv::Mat bgr;
  const std::string yuyv = ReadData("doccam_yuyv_320x240.yuv");
  ASSERT_TRUE(decoder.Decode(V4L2_PIX_FMT_YUYV, Bytes(yuyv), yuyv.size(), 320, 240, 640, bgr));
  EXPECT_EQ(bgr.size(), cv::Size(320, 240));
  ExpectColourBars(bgr, 12);

  const std::string nv12 = ReadData("stepcam_nv12_320x240.nv12");
  ASSERT_TRUE(decoder.Decode(V4L2_PIX_FMT_NV12, Bytes(nv12), nv12.size(), 320, 240, 0, bgr));
  ExpectColourBars(bgr, 12);

  // Rows padded to 384 bytes, as some drivers lay NV12 out.
  std::string padded;
  for (int row = 0; row < 240 * 3 / 2; ++row)
    padded += nv12.substr(row * 320, 320) + std::string(64, '\0');
  cv::Mat fromPadded;
  ASSERT_TRUE(
      decoder.Decode(V4L2_PIX_FMT_NV12, Bytes(padded), padded.size(), 320, 240, 384, fromPadded));
  EXPECT_EQ(cv::norm(bgr, fromPadded, cv::NORM_INF), 0);
}

TEST(DecodeTest, ShortRawFramesAreRefused) {
  FrameDecoder decoder;
  cv::Mat bgr;
  std::string error;
  const std::string yuyv = ReadData("doccam_yuyv_320x240.yuv");
  EXPECT_FALSE(
      decoder.Decode(V4L2_PIX_FMT_YUYV, Bytes(yuyv), yuyv.size() - 1, 320, 240, 0, bgr, &error));
  EXPECT_NE(error.find("too short"), std::string::npos);
  EXPECT_FALSE(decoder.Decode(V4L2_PIX_FMT_YUYV, Bytes(yuyv), yuyv.size(), 320, 240, 100, bgr));
  EXPECT_FALSE(decoder.Decode(V4L2_PIX_FMT_NV12, Bytes(yuyv), 1000, 320, 240, 0, bgr));
  EXPECT_FALSE(decoder.Decode(V4L2_PIX_FMT_RGB24, Bytes(yuyv), yuyv.size(), 320, 240, 0, bgr));
  EXPECT_TRUE(bgr.empty());
}

TEST(DecodeTest, PreviewDecodeFitsTheBoxAndMatchesAFullDecode) {
  const std::string jpeg = ReadData("doccam_mjpg_640x480.jpg");
  FrameDecoder decoder;
  cv::Mat full;
  ASSERT_TRUE(decoder.Decode(V4L2_PIX_FMT_MJPEG, Bytes(jpeg), jpeg.size(), 640, 480, 0, full));
  for (const cv::Size box :
       {cv::Size(320, 320), cv::Size(150, 100), cv::Size(1000, 480), cv::Size(640, 480)}) {
    cv::Mat preview;
    ASSERT_TRUE(decoder.DecodeMjpegToFit(Bytes(jpeg), jpeg.size(), box.width, box.height, preview));
    const cv::Size expected = FitInside({640, 480}, box);
    EXPECT_EQ(preview.size(), expected) << box;
    cv::Mat reference;
    cv::resize(full, reference, expected, 0, 0, cv::INTER_AREA);
    cv::Mat difference;
    cv::absdiff(preview, reference, difference);
    EXPECT_LT(cv::mean(difference)[0], 6.0) << box;
  }
  EXPECT_EQ(FitInside({640, 480}, {320, 320}), cv::Size(320, 240));
  EXPECT_EQ(FitInside({480, 640}, {320, 320}), cv::Size(240, 320));
  EXPECT_EQ(FitInside({640, 480}, {0, 100}), cv::Size(0, 0));
}

// A zoomed preview decodes only what is on screen: the same pixels as that
// part of a whole decode, scaled as asked; a frame broken or cut short
// before the part's end is refused and leaves the last picture alone.
TEST(DecodeTest, RegionDecodeMatchesThatPartOfAFullDecode) {
  const std::string jpeg = ReadData("doccam_mjpg_640x480.jpg");
  FrameDecoder decoder;
  // The recorded frame is 4:2:2; cameras also send 4:2:0, whose chroma rows
  // the decoder has to carry across skipped rows.
  std::vector<std::string> streams{jpeg};
  {
    cv::Mat whole;
    ASSERT_TRUE(decoder.Decode(V4L2_PIX_FMT_MJPEG, Bytes(jpeg), jpeg.size(), 640, 480, 0, whole));
    tjhandle handle = tjInitCompress();
    unsigned char* data = nullptr;
    unsigned long bytes = 0;
    ASSERT_EQ(tjCompress2(handle, whole.data, whole.cols, static_cast<int>(whole.step), whole.rows,
                          TJPF_BGR, &data, &bytes, TJSAMP_420, 90, 0),
              0);
    streams.emplace_back(reinterpret_cast<const char*>(data), bytes);
    tjFree(data);
    tjDestroy(handle);
  }
  struct Case {
    cv::Rect region;
    double scale;
  };
  for (const std::string& stream : streams) {
    cv::Mat full;
    ASSERT_TRUE(
        decoder.Decode(V4L2_PIX_FMT_MJPEG, Bytes(stream), stream.size(), 640, 480, 0, full));
    for (const Case& c : {Case{{161, 117, 320, 240}, 1.0}, Case{{0, 0, 100, 60}, 1.0},
                          Case{{403, 333, 237, 147}, 1.0}, Case{{50, 201, 500, 250}, 0.6},
                          Case{{300, 10, 330, 460}, 0.2}}) {
      cv::Mat part;
      cv::Rect covered;
      std::string error;
      ASSERT_TRUE(decoder.DecodeMjpegRegion(Bytes(stream), stream.size(), c.region, c.scale, part,
                                            covered, &error))
          << error;
      // Widened to the block grid, never by more than a block of 16 at 1/8.
      EXPECT_EQ(covered & c.region, c.region) << covered;
      EXPECT_EQ(covered & cv::Rect(0, 0, 640, 480), covered);
      EXPECT_LE(covered.width - c.region.width, 2 * 128) << covered;
      EXPECT_LE(covered.height - c.region.height, 2 * 128) << covered;
      EXPECT_LE(std::abs(part.cols - covered.width * c.scale), 1.0) << part.size();
      EXPECT_LE(std::abs(part.rows - covered.height * c.scale), 1.0) << part.size();
      cv::Mat reference;
      cv::resize(full(covered), reference, part.size(), 0, 0, cv::INTER_AREA);
      cv::Mat difference;
      cv::absdiff(part, reference, difference);
      EXPECT_LT(cv::mean(difference)[0], c.scale == 1.0 ? 1.0 : 6.0) << c.region;
    }
  }

  const cv::Mat before(4, 4, CV_8UC3, cv::Scalar(1, 2, 3));
  cv::Mat bgr = before.clone();
  cv::Rect covered;
  std::string error;
  // Cut short in the middle of the coded data: the lower half is missing.
  const std::string cut = jpeg.substr(0, jpeg.size() / 2);
  EXPECT_FALSE(decoder.DecodeMjpegRegion(Bytes(cut), cut.size(), {0, 400, 640, 80}, 1.0, bgr,
                                         covered, &error));
  EXPECT_NE(error.find("corrupt"), std::string::npos) << error;
  const std::string garbage(5000, '\x55');
  EXPECT_FALSE(
      decoder.DecodeMjpegRegion(Bytes(garbage), garbage.size(), {0, 0, 64, 64}, 1.0, bgr, covered));
  EXPECT_FALSE(decoder.DecodeMjpegRegion(Bytes(jpeg), 3, {0, 0, 64, 64}, 1.0, bgr, covered));
  EXPECT_FALSE(
      decoder.DecodeMjpegRegion(Bytes(jpeg), jpeg.size(), {700, 0, 64, 64}, 1.0, bgr, covered));
  EXPECT_EQ(cv::norm(bgr, before, cv::NORM_INF), 0);
}

}  // namespace
}  // namespace tavrin::lens::v4l2
