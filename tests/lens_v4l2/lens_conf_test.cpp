#include <unistd.h>

#include <filesystem>

#include "lens/src/v4l2/lens_conf.h"
#include "platform/files.h"
#include "replay_support.h"

namespace tavrin::lens::v4l2 {
namespace {

TEST(LensConfTest, ReadsFieldOfViewAndControlsPerCamera) {
  LensConf conf;
  std::string warning;
  EXPECT_TRUE(
      conf.Parse("# written by hand\n"
                 "[Tavrin DocCam 8MP]\n"
                 "FieldOfViewMm = 380\n"
                 "0x00980900=12\n"
                 "[Kestrel HD Webcam (2)]\n"
                 "0x0098090c=0\n",
                 &warning))
      << warning;
  const CameraConf doccam = conf.Camera("Tavrin DocCam 8MP");
  EXPECT_DOUBLE_EQ(doccam.fieldOfViewMm, 380);
  EXPECT_EQ(doccam.controls.at(0x00980900), 12);
  EXPECT_EQ(conf.Camera("Kestrel HD Webcam (2)").controls.at(0x0098090c), 0);
  EXPECT_EQ(conf.Camera("Kestrel HD Webcam").controls.size(), 0u);
}

TEST(LensConfTest, OwnDpiComesFromTheFieldOfView) {
  EXPECT_EQ(OwnDpi(0, 3264), 96);
  EXPECT_EQ(OwnDpi(380, 3264), 218);  // 3264 px over 380 mm
  EXPECT_EQ(OwnDpi(420, 640), 39);
  EXPECT_EQ(OwnDpi(-5, 640), 96);
}

TEST(LensConfTest, BadLinesAreReportedAndKept) {
  LensConf conf;
  std::string warning;
  EXPECT_FALSE(conf.Parse(
      "orphan=1\n[DocCam\n[DocCam]\nFieldOfViewMm=wide\n0x00980900=bright\nNote=keep me\n"
      "0x00980901=7\n",
      &warning));
  EXPECT_NE(warning.find("line 1"), std::string::npos) << warning;
  EXPECT_NE(warning.find("line 4: field of view"), std::string::npos) << warning;
  EXPECT_NE(warning.find("unknown key 'Note'"), std::string::npos) << warning;
  const CameraConf doccam = conf.Camera("DocCam");
  EXPECT_EQ(doccam.fieldOfViewMm, 0);
  EXPECT_EQ(doccam.controls.size(), 1u);
  // Saving keeps what the user wrote even where it could not be read.
  const std::string text = conf.Text();
  EXPECT_NE(text.find("Note=keep me"), std::string::npos);
  EXPECT_NE(text.find("FieldOfViewMm=wide"), std::string::npos);
}

TEST(LensConfTest, SavesAndLoadsBack) {
  const std::string folder =
      (std::filesystem::temp_directory_path() / ("lens_conf_" + std::to_string(getpid()))).string();
  ASSERT_TRUE(platform::CreateFolders(folder));
  const std::string path = folder + "/TavrinLens.conf";
  LensConf conf;
  EXPECT_TRUE(conf.Load(path));  // missing: empty
  conf.SetControl("Tavrin DocCam 8MP", 0x00980900, -7);
  conf.SetControl("Tavrin DocCam 8MP", 0x009a090d, 250);
  ASSERT_TRUE(conf.Save(path));
  LensConf again;
  ASSERT_TRUE(again.Load(path));
  EXPECT_EQ(again.Camera("Tavrin DocCam 8MP").controls,
            (std::map<uint32_t, int>{{0x00980900, -7}, {0x009a090d, 250}}));
  std::string error;
  EXPECT_FALSE(conf.Save(folder + "/missing/TavrinLens.conf", &error));
  platform::DeleteFolderTree(folder);
}

}  // namespace
}  // namespace tavrin::lens::v4l2
