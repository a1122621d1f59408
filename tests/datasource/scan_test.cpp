// tavrin-scan and TavrinSource.ds against the test window, each run in a
// private copy of the program folder with its own HOME and TMPDIR.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "../dslink/test_support.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/tick_count.h"

namespace tavrin::test {
namespace {

class ScanRun : public testing::Test {
 protected:
  void SetUp() override {
    const std::string from = platform::ProgramFolder();
    for (const std::string folder : {"bin", "home", "tmp", "out"})
      ASSERT_TRUE(platform::CreateFolders(scratch / folder));
    // Copies, not links: each program finds its folder through its own path.
    ASSERT_TRUE(platform::CopyFileOverwrite(from + "/tavrin-scan", Bin("tavrin-scan")));
    ASSERT_TRUE(platform::CopyFileOverwrite(from + "/TavrinSource.ds", Bin("TavrinSource.ds")));
    ASSERT_TRUE(platform::CopyFileOverwrite(from + "/tavrin_test_window", Bin("TavrinDesk")));
  }

  std::string Bin(const std::string& name) const { return scratch / ("bin/" + name); }
  std::string Out(const std::string& name) const { return scratch / ("out/" + name); }

  // Exit status of tavrin-scan, or -1 when it did not end within 30 s.
  int Scan(std::vector<std::string> args, const std::vector<std::string>& windowEnv = {}) {
    return Finish(Start(std::move(args), windowEnv));
  }
  // Its standard output and error go to <name>.out and <name>.err.
  int Start(std::vector<std::string> args, const std::vector<std::string>& windowEnv = {},
            const std::string& name = "scan") {
    args.insert(args.end(), {"--output", scratch / "out"});
    args.insert(args.begin(),
                {"-c", "exec \"$0\" \"$@\" >\"$OUT.out\" 2>\"$OUT.err\"", Bin("tavrin-scan")});
    std::vector<std::string> env = {"HOME=" + scratch / "home", "TMPDIR=" + scratch / "tmp",
                                    "XDG_CONFIG_HOME=" + scratch / "home/.config",
                                    "TAVRIN_TEST_WINDOW_LOG=" + scratch / "window.log",
                                    "OUT=" + scratch / name};
    env.insert(env.end(), windowEnv.begin(), windowEnv.end());
    std::string error;
    const int pid = platform::SpawnProcess("/bin/sh", args, env, &error);
    EXPECT_GT(pid, 0) << error;
    return pid;
  }
  int Finish(int pid) {
    int status = -1;
    if (!platform::WaitProcess(pid, 30000, &status)) {
      platform::KillProcess(pid);
      platform::WaitProcess(pid, 1000, nullptr);
      return -1;
    }
    endTick = platform::TickCount();
    return status;
  }

  std::vector<std::string> WindowLog() const {
    std::vector<std::string> lines;
    std::ifstream in(scratch / "window.log");
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  int CountLog(const std::string& prefix) const {
    int count = 0;
    for (const std::string& line : WindowLog()) count += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return count;
  }
  std::vector<std::string> Delivered() const {
    std::vector<std::string> names = platform::ListFolder(scratch / "out");
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string Read(const std::string& path) const {
    std::string bytes;
    platform::ReadWholeFile(path, bytes);
    return bytes;
  }

  std::string Output(const std::string& name = "scan") const {
    return Read(scratch / name + ".out");
  }
  std::string Errors(const std::string& name = "scan") const {
    return Read(scratch / name + ".err");
  }
  std::string DsConfig(const std::string& name) const {
    return scratch / ("home/Documents/DSConfig/" + name);
  }

  ScratchFolder scratch;
  uint32_t endTick = 0;
};

TEST_F(ScanRun, ModeOneWithThreeRequestsDeliversThreeFiles) {
  EXPECT_EQ(Scan({"--mode", "1", "--count", "3", "--color", "gray", "--rotate", "2", "--dpi", "300",
                  "--timeout", "20"}),
            0);
  EXPECT_EQ(Delivered(),
            (std::vector<std::string>{"page-001.bmp", "page-002.bmp", "page-003.bmp"}));
  EXPECT_EQ(Read(Out("page-001.bmp")).substr(0, 2), "BM");
  EXPECT_NE(Read(Out("page-001.bmp")), Read(Out("page-002.bmp")));
  EXPECT_EQ(CountLog("ApplyShowModel mode=1 dpi=300 color=1 rotate=2"), 3);
  EXPECT_EQ(CountLog("capture "), 3);
  EXPECT_EQ(CountLog("finished"), 1);

  // The files the window read, as the data source wrote them.
  const std::string cfg = Read(Bin("cfgInfo.xml"));
  EXPECT_NE(cfg.find("<Name>TavrinSource-"), std::string::npos);
  EXPECT_NE(cfg.find("<m_strImgExe>TavrinSource-"), std::string::npos);
  const std::string model = Read(scratch / "home/Documents/DSConfig/ShowModel.xml");
  const size_t show = model.find("<ShowMode>1</ShowMode>");
  const size_t color = model.find("<ColorType>1</ColorType>");
  const size_t rotate = model.find("<RotateMode>2</RotateMode>");
  const size_t dpi = model.find("<DPIMode>300</DPIMode>");
  ASSERT_NE(show, std::string::npos);
  EXPECT_TRUE(show < color && color < rotate && rotate < dpi) << model;
}

TEST_F(ScanRun, ModeThreeWithoutOneByOneDeliversTheListAtClose) {
  EXPECT_EQ(Scan({"--mode", "3", "--count", "2", "--timeout", "20"}), 0);
  EXPECT_EQ(Delivered(), (std::vector<std::string>{"page-001.bmp", "page-002.bmp"}));
}

TEST_F(ScanRun, ModeZeroWithNothingCapturedIsNothingDelivered) {
  EXPECT_EQ(Scan({"--mode", "0", "--timeout", "20"}), 6);
  EXPECT_EQ(CountLog("ShowTwainWindow 1"), 1);
  EXPECT_EQ(CountLog("capture "), 0);
  EXPECT_TRUE(Delivered().empty());
}

TEST_F(ScanRun, ModeTwoDeliversThePersonsCapturesThroughTheFileList) {
  EXPECT_EQ(
      Scan({"--mode", "2", "--color", "bw", "--timeout", "20"}, {"TAVRIN_TEST_WINDOW_CAPTURES=2"}),
      0);
  EXPECT_EQ(Delivered(), (std::vector<std::string>{"page-001.bmp", "page-002.bmp"}));
  EXPECT_EQ(CountLog("ApplyShowModel mode=2 dpi=200 color=3"), 1);
  EXPECT_FALSE(platform::PathExists(scratch / "home/Documents/DSConfig/FileList.xml"))
      << "the data source takes a list away once it has read it";
}

TEST_F(ScanRun, ModeZeroOneByOneDeliversCopiesFromTheTemporaryFolder) {
  EXPECT_EQ(Scan({"--mode", "0", "--timeout", "20"},
                 {"TAVRIN_TEST_WINDOW_CAPTURES=2", "TAVRIN_TEST_WINDOW_SEND_EACH=1"}),
            0);
  EXPECT_EQ(Delivered().size(), 2u);
  EXPECT_FALSE(platform::PathExists(scratch / "home/Documents/DSConfig/FileList.xml"));
}

TEST_F(ScanRun, WindowDyingMidScanGivesItsStatusWithinTwoSeconds) {
  EXPECT_EQ(
      Scan({"--mode", "1", "--count", "3", "--timeout", "20"}, {"TAVRIN_TEST_WINDOW_DIE_AT=2"}), 4);
  uint32_t dieTick = 0;
  for (const std::string& line : WindowLog())
    if (line.rfind("die ", 0) == 0) dieTick = static_cast<uint32_t>(std::stoul(line.substr(4)));
  ASSERT_NE(dieTick, 0u);
  EXPECT_LT(endTick - dieTick, 2000u);
  EXPECT_EQ(Delivered(), (std::vector<std::string>{"page-001.bmp"}))
      << "the file delivered before the window died is kept";
}

TEST_F(ScanRun, RepeatedFilesAndABrokenListAreDeliveredOnceWithoutHarm) {
  EXPECT_EQ(
      Scan({"--mode", "1", "--count", "2", "--timeout", "20"}, {"TAVRIN_TEST_WINDOW_HOSTILE=1"}),
      0);
  EXPECT_EQ(Delivered(), (std::vector<std::string>{"page-001.bmp", "page-002.bmp"}));
  EXPECT_EQ(CountLog("capture "), 2);
}

TEST_F(ScanRun, MissingScanWindowIsReported) {
  ASSERT_TRUE(platform::DeleteFilePath(Bin("TavrinDesk")));
  EXPECT_EQ(Scan({"--mode", "1", "--timeout", "5"}), 3);
}

TEST_F(ScanRun, PersonWhoNeverClosesTimesOutAndTheWindowIsClosed) {
  EXPECT_EQ(Scan({"--mode", "0", "--timeout", "1"}, {"TAVRIN_TEST_WINDOW_STAY=1"}), 5);
  EXPECT_TRUE(WaitFor([&] { return CountLog("finished") == 1; }, 5000, 1))
      << "the window is asked to close";
  EXPECT_EQ(CountLog("CloseTwainWindow"), 1);
}

TEST_F(ScanRun, CommandLineErrorsAndHelp) {
  EXPECT_EQ(Scan({"--mode", "4"}), 2);
  EXPECT_EQ(Scan({"--color", "sepia"}), 2);
  EXPECT_EQ(Scan({"--frobnicate", "1"}), 2);
  EXPECT_EQ(Scan({"--help"}), 0);
  EXPECT_EQ(CountLog("attached"), 0) << "no window is started for a bad command line";
}

TEST_F(ScanRun, APdfThatCannotBeMadeIsSaidBeforeAnyWindowStarts) {
  EXPECT_EQ(Scan({"--ocr", "eng"}), 2) << "--ocr without --pdf";
  EXPECT_EQ(Scan({"--pdf-only"}), 2);
  EXPECT_EQ(Scan({"--mode", "1", "--pdf", scratch / "doc.pdf", "--ocr", "eng+xyz"}), 1);
  EXPECT_NE(Errors().find("'xyz'"), std::string::npos) << Errors();
  EXPECT_EQ(Scan({"--mode", "1", "--pdf", scratch / "missing/doc.pdf"}), 1);
  EXPECT_NE(Errors().find("missing"), std::string::npos) << Errors();
  EXPECT_EQ(CountLog("attached"), 0) << "no window is started";
  EXPECT_FALSE(platform::PathExists(scratch / "doc.pdf"));
}

TEST_F(ScanRun, LaterSessionsNumberOnAndNeverOverwriteEarlierPages) {
  std::ofstream(Out("page-001.bmp")) << "the first session's page";
  std::ofstream(Out("page-007.png")) << "a page of another kind";
  std::ofstream(Out("page-notes.txt")) << "not a page";
  EXPECT_EQ(Scan({"--mode", "1", "--count", "2", "--timeout", "20"}), 0) << Errors();
  EXPECT_EQ(Delivered(), (std::vector<std::string>{"page-001.bmp", "page-007.png", "page-008.bmp",
                                                   "page-009.bmp", "page-notes.txt"}));
  EXPECT_EQ(Read(Out("page-001.bmp")), "the first session's page");
  EXPECT_EQ(Read(Out("page-008.bmp")).substr(0, 2), "BM");
  EXPECT_NE(Output().find("wrote " + Out("page-008.bmp")), std::string::npos) << Output();
  EXPECT_NE(Output().find("wrote " + Out("page-009.bmp")), std::string::npos) << Output();

  // Asked for, a session gets a new folder of its own.
  EXPECT_EQ(Scan({"--mode", "1", "--session-folder", "--timeout", "20"}), 0) << Errors();
  std::vector<std::string> folders;
  for (const std::string& name : Delivered())
    if (platform::IsFolder(Out(name))) folders.push_back(name);
  ASSERT_EQ(folders.size(), 1u);
  EXPECT_EQ(platform::ListFolder(Out(folders[0])), std::vector<std::string>{"page-001.bmp"});
  EXPECT_EQ(Read(Out("page-001.bmp")), "the first session's page");
}

// Run 1 delivers through the list; run 2 cannot save its list. Run 1's list
// must not come back as run 2's pages.
TEST_F(ScanRun, AFailedListSaveDeliversNothingOldAndSaysSo) {
  ASSERT_EQ(Scan({"--mode", "2", "--timeout", "20"}, {"TAVRIN_TEST_WINDOW_CAPTURES=2"}), 0);
  EXPECT_EQ(Delivered().size(), 2u);
  EXPECT_FALSE(platform::PathExists(DsConfig("FileList.xml"))) << "a list is read once";
  // As run 1 left it before the data source took its lists away.
  const std::string oldPage = scratch / "old-page.bmp";
  std::ofstream(oldPage) << "BM an old page";
  std::ofstream(DsConfig("FileList.xml"))
      << "<?xml version=\"1.0\" encoding=\"utf-8\"?><FileList>\r\n<FileName>" << oldPage
      << "</FileName>\r\n</FileList>\r\n";

  const std::string go = scratch / "go";
  const int pid = Start({"--mode", "2", "--timeout", "20"},
                        {"TAVRIN_TEST_WINDOW_CAPTURES=2", "TAVRIN_TEST_WINDOW_WAIT_FOR=" + go});
  ASSERT_TRUE(WaitFor([&] { return CountLog("waiting") == 1; }, 10000, 1));
  int status = -1;
  {
    ReadOnlyFolder full(scratch / "home/Documents/DSConfig");
    if (!full.ok()) {
      std::ofstream(go) << "go";
      Finish(pid);
      GTEST_SKIP() << "cannot make a folder read-only here";
    }
    std::ofstream(go) << "go";
    status = Finish(pid);
  }
  EXPECT_EQ(status, 8) << Errors();
  EXPECT_EQ(Delivered().size(), 2u) << "nothing new, and the old page not as a new one";
  EXPECT_NE(Errors().find("could not be handed on"), std::string::npos) << Errors();
  EXPECT_NE(Errors().find(scratch / ("tmp/tavrin-" + std::to_string(getuid()) + "/Tavrin")),
            std::string::npos)
      << "where the pages are";
}

TEST_F(ScanRun, ASecondScanOfTheSameUserIsBusyAndTheFirstIsUnharmed) {
  const std::string go = scratch / "go";
  const int first =
      Start({"--mode", "2", "--timeout", "20"},
            {"TAVRIN_TEST_WINDOW_CAPTURES=2", "TAVRIN_TEST_WINDOW_WAIT_FOR=" + go}, "first");
  ASSERT_TRUE(WaitFor([&] { return CountLog("waiting") == 1; }, 10000, 1));
  const std::string model = Read(DsConfig("ShowModel.xml"));
  const std::string cfg = Read(Bin("cfgInfo.xml"));

  EXPECT_EQ(Finish(Start({"--mode", "1", "--timeout", "20"}, {}, "second")), 7);
  EXPECT_NE(Errors("second").find("busy"), std::string::npos) << Errors("second");
  EXPECT_EQ(CountLog("attached"), 1) << "no second window";
  EXPECT_EQ(Read(DsConfig("ShowModel.xml")), model);
  EXPECT_EQ(Read(Bin("cfgInfo.xml")), cfg);

  std::ofstream(go) << "go";
  EXPECT_EQ(Finish(first), 0) << Errors("first");
  EXPECT_EQ(Delivered(), (std::vector<std::string>{"page-001.bmp", "page-002.bmp"}));
  // The lock went with the first session.
  EXPECT_EQ(Scan({"--mode", "1", "--timeout", "20"}), 0) << Errors();
}

}  // namespace
}  // namespace tavrin::test
