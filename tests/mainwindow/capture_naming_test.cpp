#include <gtest/gtest.h>

#include <string>

#include "mainwindow/capture_naming.h"

namespace tavrin {
namespace {

TEST(CaptureNamingTest, PathCarriesFolderPrefixNumberAndTheFormatsExtension) {
  CapturePathBuffer buffer{};
  ASSERT_TRUE(FormatCapturePath(buffer, "/tmp/w", "1_", 42, kFormatBmp));
  EXPECT_STREQ(buffer.data(), "/tmp/w/1_42.bmp");
  ASSERT_TRUE(FormatCapturePath(buffer, "/tmp/w", "Merge_", -7, kFormatJpeg));
  EXPECT_STREQ(buffer.data(), "/tmp/w/Merge_-7.jpg");
  ASSERT_TRUE(FormatCapturePath(buffer, "/tmp/w", "2_", 0, kFormatPng));
  EXPECT_STREQ(buffer.data(), "/tmp/w/2_0.png");
  ASSERT_TRUE(FormatCapturePath(buffer, "/tmp/w", "2_", 1, 9));
  EXPECT_STREQ(buffer.data(), "/tmp/w/2_1") << "no extension for an item the list lacks";
}

TEST(CaptureNamingTest, NoFolderOrNoRoomGivesAnEmptyBuffer) {
  CapturePathBuffer buffer{};
  buffer.fill('x');
  EXPECT_FALSE(FormatCapturePath(buffer, "", "1_", 1, kFormatJpeg));
  EXPECT_EQ(buffer, CapturePathBuffer{});

  // "/" + "1_5.jpg" is 8 bytes; the terminator needs one more.
  const std::string fits(buffer.size() - 9, 'a');
  ASSERT_TRUE(FormatCapturePath(buffer, fits, "1_", 5, kFormatJpeg));
  EXPECT_EQ(std::string(buffer.data()).size(), buffer.size() - 1);
  buffer.fill('x');
  EXPECT_FALSE(FormatCapturePath(buffer, fits + "a", "1_", 5, kFormatJpeg));
  EXPECT_EQ(buffer, CapturePathBuffer{}) << "a cut name is never handed to the library";
}

TEST(CaptureNamingTest, NumbersFollowTheTickButNeverRepeatAcrossTheWrap) {
  NameNumbers numbers;
  EXPECT_EQ(numbers.Next(1000), 1000);
  EXPECT_EQ(numbers.Next(1000), 1001) << "two presses in one tick";
  EXPECT_EQ(numbers.Next(900), 1002) << "a tick behind the last name";
  EXPECT_EQ(numbers.Next(5000), 5000);

  NameNumbers wrapping;
  EXPECT_EQ(wrapping.Next(0xFFFFFFFFu), -1);
  EXPECT_EQ(wrapping.Next(0xFFFFFFFFu), 0) << "the next number after the wrap";
  EXPECT_EQ(wrapping.Next(0), 1);
  EXPECT_EQ(wrapping.Next(10), 10) << "a tick after the wrap is later";
}

}  // namespace
}  // namespace tavrin
