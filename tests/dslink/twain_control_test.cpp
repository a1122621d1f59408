// CTwainControl with a recording test window and a test data source built
// on the creator role of the channel.
#include <climits>
#include <vector>

#include "dslink/twain_control.h"
#include "test_support.h"

namespace tavrin::test {
namespace {

std::u16string Wide(const std::string& text) {
  return platform::Utf8ToUtf16(text);
}

std::string ReadFile(const std::string& path) {
  std::string bytes;
  platform::ReadWholeFile(path, bytes);
  return bytes;
}

// Records its calls; a capture writes a file and hands it off as the scan
// window does.
class RecordingWindow : public ITwainShowWindow {
 public:
  RecordingWindow(CTwainControl& twain, std::string workFolder)
      : twain_(twain), workFolder_(std::move(workFolder)) {}

  int Idle() override { return Record("Idle"); }
  int ShowTwainWindow(int show) override { return Record("Show " + std::to_string(show)); }
  int CaptureImage() override {
    Record("Capture");
    std::lock_guard sendLock(sendLock_);
    const std::string path = workFolder_ + "/1_" + std::to_string(++captures_) + ".bmp";
    std::ofstream(path) << "image " << captures_;
    const std::u16string wide = Wide(path);
    twain_.HandOff(wide);
    return 1;
  }
  int LockMerge(int flag) override { return Record("LockMerge " + std::to_string(flag)); }
  int CloseTwainWindow() override { return Record("Close"); }
  int ApplyShowModel() override {
    twain_.ReadShowModel();
    return Record("Apply");
  }

  std::vector<std::string> Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  int Record(const std::string& call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(call);
    return 1;
  }

  CTwainControl& twain_;
  std::string workFolder_;
  mutable std::mutex mutex_;
  std::mutex sendLock_;
  std::vector<std::string> calls_;
  int captures_ = 0;
};

class TwainControlTest : public testing::Test {
 protected:
  TwainControlTest() {
    for (const std::string folder : {"ds", "config", "temp", "work"})
      platform::CreateFolders(scratch / folder);
    std::ofstream(scratch / "ds/TavrinSource.ds") << "module";
    source.SetTimings(FastTimings());
    source.SetCallback(&received);
    control.Channel().SetTimings(FastTimings());
  }

  TwainLocations Where() const {
    return {Wide(scratch / "ds/TavrinSource.ds"), Wide(scratch / "config/"),
            Wide(scratch / "temp/")};
  }
  void WriteCfgInfo(const std::string& text) { std::ofstream(scratch / "ds/cfgInfo.xml") << text; }
  void WriteShowModel(const std::string& cfgChildren) {
    std::ofstream(scratch / "config/ShowModel.xml")
        << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<cfg>" << cfgChildren << "</cfg>\r\n";
  }
  // Creates the blocks, names them in cfgInfo.xml and attaches the window.
  void AttachWithSource() {
    source.Start(Wide(first), Wide(second), 1);
    WriteCfgInfo("<cfg><Name>" + first + "</Name><m_strImgExe>" + second + "</m_strImgExe></cfg>");
    ASSERT_EQ(control.Attach(&window), 1);
  }
  // Sends from the data source and waits until the window handled it.
  void SourceSends(int code) {
    ASSERT_TRUE(source.Send(1, code, u""));
    ASSERT_TRUE(WaitFor([&] { return !source.SendPending(); }, 5000, 1));
  }
  std::vector<int> Codes(size_t expected) {
    received.WaitCount(expected, 3000);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    std::vector<int> codes;
    for (const ReceivedMessage& message : received.Messages()) codes.push_back(message.code);
    return codes;
  }

  ScratchFolder scratch;
  std::string first = "tavrin-test-" + RandomHex() + "-1";
  std::string second = "tavrin-test-" + RandomHex() + "-2";
  RecordingCallback received;
  SharedMessageChannel source;
  // The window outlives the control, whose receiver may still call it.
  RecordingWindow window{control, scratch / "work"};
  CTwainControl control{Where()};
};

struct DeliveryRow {
  int mode = -1;  // -1: no ShowModel.xml
  bool sendEach = false;
  int capturesOnRequest = 0;
  std::vector<int> delivered;  // codes the data source receives, in order
};

class DeliveryByMode : public TwainControlTest, public testing::WithParamInterface<DeliveryRow> {};

TEST_P(DeliveryByMode, RequestUserCaptureAndCloseDeliverAsTheTableSays) {
  const DeliveryRow& row = GetParam();
  if (row.mode >= 0) WriteShowModel("<ShowMode>" + std::to_string(row.mode) + "</ShowMode>");
  control.SetSendEachImage(row.sendEach);
  AttachWithSource();
  EXPECT_EQ(control.m_nShowMode, row.mode);
  SourceSends(kMsgRequest);
  const auto calls = window.Calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "Capture"), row.capturesOnRequest);
  window.CaptureImage();  // the person presses Capture
  EXPECT_EQ(control.Finish(), 1);
  EXPECT_EQ(Codes(row.delivered.size()), row.delivered);
}

INSTANTIATE_TEST_SUITE_P(
    AllModes, DeliveryByMode,
    testing::Values(DeliveryRow{kShowModeNone, false, 0, {}},
                    DeliveryRow{kShowModeNone, true, 0, {kMsgClose}},
                    DeliveryRow{kShowModeWindow, false, 0, {kMsgFileList}},
                    DeliveryRow{kShowModeWindow, true, 0, {kMsgImage, kMsgClose}},
                    DeliveryRow{kShowModeCaptureSend, false, 1, {kMsgImage, kMsgImage}},
                    DeliveryRow{kShowModeCaptureSend, true, 1, {kMsgImage, kMsgImage, kMsgClose}},
                    DeliveryRow{kShowModeList, false, 0, {kMsgFileList}},
                    DeliveryRow{kShowModeList, true, 0, {kMsgFileList, kMsgClose}},
                    DeliveryRow{kShowModeCaptureList, false, 1, {kMsgFileList}},
                    DeliveryRow{kShowModeCaptureList, true, 1, {kMsgImage, kMsgImage, kMsgClose}}));

TEST_F(TwainControlTest, ModeThreeListHoldsEveryCaptureOnce) {
  WriteShowModel("<ShowMode>3</ShowMode>");
  AttachWithSource();
  SourceSends(kMsgRequest);
  SourceSends(kMsgRequest);
  control.Finish();
  control.Finish();  // a second call must not deliver again
  ASSERT_EQ(Codes(1), std::vector<int>{207});
  const std::string list = ReadFile(scratch / "config//FileList.xml");
  EXPECT_NE(list.find("1_1.bmp"), std::string::npos);
  EXPECT_NE(list.find("1_2.bmp"), std::string::npos);
}

TEST_F(TwainControlTest, FileListHasExactBytesAndThePathTheDoubledSeparator) {
  WriteShowModel("<ShowMode>2</ShowMode>");
  AttachWithSource();
  const std::string a = scratch / "work/a.jpg";
  const std::string b = scratch / "work/b&<c>.jpg";
  for (const std::string& path : {a, b}) std::ofstream(path) << "x";
  EXPECT_EQ(control.SendImage(Wide(a)), -2) << "mode 2 lists instead of sending";
  control.AddFile(Wide(a));
  control.AddFile(Wide(scratch / "work/gone.jpg"));  // no such file: skipped
  control.AddFile(Wide(b));
  control.Finish();
  ASSERT_EQ(Codes(1), std::vector<int>{207});
  const std::string listPath = scratch / "config//FileList.xml";
  EXPECT_EQ(received.Messages()[0].text, Wide(listPath));
  EXPECT_EQ(ReadFile(listPath),
            "<?xml version=\"1.0\" encoding=\"utf-8\"?><FileList>\r\n<FileName>" + a +
                "</FileName>\r\n<FileName>" + scratch.Path() +
                "/work/b&amp;&lt;c&gt;.jpg</FileName>\r\n</FileList>\r\n");
}

TEST_F(TwainControlTest, ListWhoseFilesWereDeletedSendsCloseAndWritesNothing) {
  WriteShowModel("<ShowMode>0</ShowMode>");
  AttachWithSource();
  window.CaptureImage();
  platform::DeleteFilePath(scratch / "work/1_1.bmp");
  control.Finish();
  ASSERT_EQ(Codes(1), std::vector<int>{205});
  EXPECT_EQ(received.Messages()[0].text, u"");
  EXPECT_FALSE(platform::PathExists(scratch / "config//FileList.xml"));
}

TEST_F(TwainControlTest, OneByOneCopiesToTheTemporaryFolderOverwritingAFileOfThatName) {
  WriteShowModel("<ShowMode>0</ShowMode>");
  control.SetSendEachImage(true);
  AttachWithSource();
  std::ofstream(scratch / "temp/1_1.bmp") << "an older file";
  window.CaptureImage();
  ASSERT_EQ(Codes(1), std::vector<int>{203});
  EXPECT_EQ(received.Messages()[0].text, Wide(scratch / "temp/1_1.bmp"));
  EXPECT_EQ(ReadFile(scratch / "temp/1_1.bmp"), "image 1");
  EXPECT_TRUE(control.FileList().empty()) << "one-by-one files are not listed";
}

TEST_F(TwainControlTest, MessagesDriveTheWindowAndUnknownCodesAreIgnored) {
  AttachWithSource();
  SourceSends(999);
  SourceSends(203);  // a code that only the window sends
  SourceSends(kMsgShow);
  SourceSends(kMsgClose);
  EXPECT_EQ(window.Calls(), (std::vector<std::string>{"Show 1", "Close"}));
}

TEST_F(TwainControlTest, ShowModelValuesAndTheirMapping) {
  WriteShowModel(
      "<ShowMode>1</ShowMode><ColorType>0</ColorType><RotateMode>3</RotateMode>"
      "<DPIMode>0</DPIMode>");
  AttachWithSource();
  EXPECT_EQ(control.m_nShowMode, 1);
  EXPECT_EQ(control.m_nColorType, 3);
  EXPECT_EQ(control.m_nRotateMode, 3);
  EXPECT_EQ(control.m_nDPI, 200);
  WriteShowModel("<ColorType>2</ColorType><DPIMode>300</DPIMode>");
  EXPECT_EQ(control.ReadShowModel(), 1);
  EXPECT_EQ(control.m_nShowMode, 1) << "a missing element keeps its value";
  EXPECT_EQ(control.m_nColorType, 0);
  EXPECT_EQ(control.m_nDPI, 300);
  WriteShowModel("<DPIMode>600</DPIMode><ShowMode>2</ShowMode>");
  EXPECT_EQ(control.ReadShowModel(), 1);
  EXPECT_EQ(control.m_nShowMode, 2);
  EXPECT_EQ(control.m_nDPI, 300) << "DPIMode before ShowMode is not seen";
  for (const char* rotation : {"4", "90", "-1"}) {
    WriteShowModel(std::string("<RotateMode>") + rotation + "</RotateMode>");
    EXPECT_EQ(control.ReadShowModel(), 1);
    EXPECT_EQ(control.m_nRotateMode, 3)
        << rotation << " is no rotation: ignored like a missing one";
  }
  std::ofstream(scratch / "config/ShowModel.xml") << "<cfg><ShowMode>0</ShowMode>";
  EXPECT_EQ(control.ReadShowModel(), 0) << "malformed";
  EXPECT_EQ(control.m_nShowMode, 2);
}

// A hands-free request: the window starts its own automatic run, so the
// request itself captures nothing; the crop and the run belong to that
// request alone.
TEST_F(TwainControlTest, AnAutomaticRunRequestCapturesNothingAtOnceAndLastsOneRequest) {
  WriteShowModel(
      "<ShowMode>1</ShowMode><ColorType>1</ColorType><RotateMode>0</RotateMode>"
      "<DPIMode>150</DPIMode><CropMode>0</CropMode><AutoCapture>2</AutoCapture>"
      "<EvenLight>0</EvenLight><SearchArea>10 5 60 95</SearchArea>");
  AttachWithSource();
  EXPECT_EQ(control.m_nCropMode, 0);
  EXPECT_EQ(control.m_nAutoCapture, 2);
  EXPECT_EQ(control.m_nEvenLight, 0);
  const auto area = [&] {
    return std::vector<int>{control.m_nSearchArea[0], control.m_nSearchArea[1],
                            control.m_nSearchArea[2], control.m_nSearchArea[3]};
  };
  EXPECT_EQ(area(), std::vector<int>({10, 5, 60, 95}));
  SourceSends(kMsgRequest);
  auto calls = window.Calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "Capture"), 0);
  WriteShowModel("<ShowMode>1</ShowMode><DPIMode>150</DPIMode>");
  SourceSends(kMsgRequest);
  calls = window.Calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "Capture"), 1);
  EXPECT_EQ(control.m_nCropMode, -1);
  EXPECT_EQ(control.m_nAutoCapture, 0);
  EXPECT_EQ(control.m_nEvenLight, -1);
  EXPECT_EQ(area(), std::vector<int>({0, 0, 0, 0}));
  // An area that keeps nothing or reaches past the picture is the whole.
  for (const char* wrong : {"60 5 10 95", "0 0 101 100", "10 5 60"}) {
    WriteShowModel(std::string("<ShowMode>1</ShowMode><DPIMode>150</DPIMode><SearchArea>") + wrong +
                   "</SearchArea>");
    EXPECT_EQ(control.ReadShowModel(), 1);
    EXPECT_EQ(area(), std::vector<int>({0, 0, 0, 0})) << wrong;
  }
}

TEST(TwainControlValues, DecimalsAndColourTypes) {
  EXPECT_EQ(ParseDecimal(u"  +12abc"), 12);
  EXPECT_EQ(ParseDecimal(u"\t-7"), -7);
  EXPECT_EQ(ParseDecimal(u"abc"), 0);
  EXPECT_EQ(ParseDecimal(u""), 0);
  EXPECT_EQ(ParseDecimal(u"99999999999999999999"), INT_MAX);
  EXPECT_EQ(ParseDecimal(u"-99999999999999999999"), INT_MIN);
  EXPECT_EQ(ColorIndexFromPixelType(0), 3);
  EXPECT_EQ(ColorIndexFromPixelType(1), 1);
  EXPECT_EQ(ColorIndexFromPixelType(2), 0);
  EXPECT_EQ(ColorIndexFromPixelType(5), 0);
  EXPECT_EQ(ColorIndexFromPixelType(-1), 0);
}

TEST_F(TwainControlTest, AttachFailsWithoutTheModuleOrWithAMalformedCfgInfo) {
  WriteCfgInfo("<cfg><Name>a</Name>");
  EXPECT_EQ(control.Attach(&window), 0) << "malformed cfgInfo.xml";
  EXPECT_FALSE(control.IsAttached());
  EXPECT_EQ(control.SendImage(u"/x"), -1);
  EXPECT_EQ(control.Finish(), 0);
  ChannelBlock block;
  block.code = kMsgShow;
  EXPECT_EQ(control.OnMessage(&block), 0);
  EXPECT_TRUE(window.Calls().empty());

  platform::DeleteFilePath(scratch / "ds/cfgInfo.xml");
  EXPECT_EQ(control.Attach(&window), 0) << "no cfgInfo.xml";
  WriteCfgInfo("<cfg><Name>a</Name><m_strImgExe>b</m_strImgExe></cfg>");
  platform::DeleteFilePath(scratch / "ds/TavrinSource.ds");
  EXPECT_EQ(control.Attach(&window), 0) << "no data source module";
  EXPECT_FALSE(control.Channel().IsReceiving());
}

TEST_F(TwainControlTest, CfgInfoWithoutNamesAttachesWithoutAChannel) {
  WriteShowModel("<ShowMode>1</ShowMode>");
  WriteCfgInfo("<cfg><Name>only-one</Name></cfg>");
  EXPECT_EQ(control.Attach(&window), 1);
  EXPECT_FALSE(control.Channel().IsReceiving());
  EXPECT_EQ(control.SendImage(u"/x"), 0) << "the channel dropped it: not counted";
  WriteCfgInfo("<other/>");
  CTwainControl second(Where());
  EXPECT_EQ(second.Attach(&window), 1);
}

TEST_F(TwainControlTest, CfgInfoIsReadBesideAReadOnlyModuleFirstThenPerUser) {
  const std::string xdg = scratch / "xdg";
  ASSERT_TRUE(platform::SetEnvironment("XDG_CONFIG_HOME", xdg));
  source.Start(Wide(first), Wide(second), 1);
  // A data source that wrote it beside its module, which is read-only now.
  WriteCfgInfo("<cfg><Name>" + first + "</Name><m_strImgExe>" + second + "</m_strImgExe></cfg>");
  {
    ReadOnlyFolder readOnly(scratch / "ds");
    if (!readOnly.ok()) {
      platform::UnsetEnvironment("XDG_CONFIG_HOME");
      GTEST_SKIP() << "cannot make a folder read-only here";
    }
    EXPECT_EQ(control.Attach(&window), 1);
    EXPECT_TRUE(control.Channel().IsReceiving()) << "the blocks named beside the module";
  }
  // Nothing beside the module: the per-user copy serves.
  platform::DeleteFilePath(scratch / "ds/cfgInfo.xml");
  platform::CreateFolders(xdg + "/tavrindesk");
  std::ofstream(xdg + "/tavrindesk/cfgInfo.xml")
      << "<cfg><Name>" << first << "</Name><m_strImgExe>" << second << "</m_strImgExe></cfg>";
  {
    ReadOnlyFolder readOnly(scratch / "ds");
    CTwainControl other(Where());
    other.Channel().SetTimings(FastTimings());
    EXPECT_EQ(other.Attach(&window), 1);
    EXPECT_TRUE(other.Channel().IsReceiving());
    other.Channel().Close();
  }
  platform::UnsetEnvironment("XDG_CONFIG_HOME");
}

std::vector<std::u16string> shownMessages;
void RecordMessage(const std::u16string& text) {
  shownMessages.push_back(text);
}

TEST_F(TwainControlTest, AttachWithoutAWindowShowsTheMessage) {
  shownMessages.clear();
  SetMessageBoxHook(&RecordMessage);
  EXPECT_EQ(control.Attach(nullptr), 0);
  SetMessageBoxHook(nullptr);
  EXPECT_EQ(shownMessages, std::vector<std::u16string>{u"m_TwainWindow = null"});
}

// The list of a run whose save failed: 205 with the reason, never a 207
// that would make the data source read an older list.
TEST_F(TwainControlTest, FailedListSaveClosesWithTheReasonAndTellsWhereThePagesAre) {
  std::ofstream(scratch / "blocked") << "a file where the configuration folder should be";
  CTwainControl blocked(
      {Wide(scratch / "ds/TavrinSource.ds"), Wide(scratch / "blocked/"), Wide(scratch / "temp/")});
  blocked.Channel().SetTimings(FastTimings());
  RecordingWindow person(blocked, scratch / "work");
  source.Start(Wide(first), Wide(second), 1);
  WriteCfgInfo("<cfg><Name>" + first + "</Name><m_strImgExe>" + second + "</m_strImgExe></cfg>");
  ASSERT_EQ(blocked.Attach(&person), 1);
  blocked.m_nShowMode = kShowModeList;
  person.CaptureImage();
  person.CaptureImage();
  shownMessages.clear();
  SetMessageBoxHook(&RecordMessage);
  EXPECT_EQ(blocked.Finish(), 1);
  SetMessageBoxHook(nullptr);
  ASSERT_EQ(Codes(1), std::vector<int>{205});
  const std::string note = platform::Utf16ToUtf8(received.Messages()[0].text);
  EXPECT_NE(note.find("could not be handed on"), std::string::npos) << note;
  ASSERT_EQ(shownMessages.size(), 1u);
  const std::string shown = platform::Utf16ToUtf8(shownMessages[0]);
  EXPECT_NE(shown.find("could not be handed on"), std::string::npos) << shown;
  EXPECT_NE(shown.find(scratch / "work"), std::string::npos) << "where the pages are: " << shown;
  blocked.Channel().Close();
}

// Paths the 259-unit message text cannot hold.
TEST_F(TwainControlTest, PathsTooLongForAMessageGoOutThroughAListInAShortFolder) {
  std::string deep = scratch / "config";
  while (deep.size() < 300) deep += "/" + std::string(40, 'd');
  ASSERT_TRUE(platform::CreateFolders(deep));
  CTwainControl longConfig(
      {Wide(scratch / "ds/TavrinSource.ds"), Wide(deep + "/"), Wide(scratch / "temp/")});
  longConfig.Channel().SetTimings(FastTimings());
  RecordingWindow person(longConfig, scratch / "work");
  source.Start(Wide(first), Wide(second), 1);
  WriteCfgInfo("<cfg><Name>" + first + "</Name><m_strImgExe>" + second + "</m_strImgExe></cfg>");
  ASSERT_EQ(longConfig.Attach(&person), 1);

  // Mode 1: a file whose 203 cannot carry its path is not counted as sent
  // and reaches the data source in a list at the close.
  longConfig.m_nShowMode = kShowModeCaptureSend;
  const std::string longFile = deep + "/page.jpg";
  std::ofstream(longFile) << "x";
  EXPECT_EQ(longConfig.SendImage(Wide(longFile)), 0);
  person.CaptureImage();  // a short one goes as before
  EXPECT_EQ(longConfig.Finish(), 1);
  ASSERT_EQ(Codes(2), (std::vector<int>{203, 207}));
  const std::string listPath = scratch / "temp/DSConfig/FileList.xml";
  EXPECT_EQ(received.Messages()[1].text, Wide(listPath));
  const std::string list = ReadFile(listPath);
  EXPECT_NE(list.find(longFile), std::string::npos) << list;
  EXPECT_EQ(list.find("1_1.bmp"), std::string::npos) << "what went by 203 is not listed again";
  longConfig.Channel().Close();

  // With a temporary folder as long, no list fits: the scan fails aloud.
  CTwainControl noRoom({Wide(scratch / "ds/TavrinSource.ds"), Wide(deep + "/"), Wide(deep + "/")});
  noRoom.Channel().SetTimings(FastTimings());
  SharedMessageChannel source2;
  RecordingCallback received2;
  source2.SetTimings(FastTimings());
  source2.SetCallback(&received2);
  const std::string first2 = first + "b";
  const std::string second2 = second + "b";
  source2.Start(Wide(first2), Wide(second2), 1);
  WriteCfgInfo("<cfg><Name>" + first2 + "</Name><m_strImgExe>" + second2 + "</m_strImgExe></cfg>");
  RecordingWindow other(noRoom, scratch / "work");
  ASSERT_EQ(noRoom.Attach(&other), 1);
  noRoom.m_nShowMode = kShowModeList;
  noRoom.AddFile(Wide(longFile));
  shownMessages.clear();
  SetMessageBoxHook(&RecordMessage);
  noRoom.Finish();
  SetMessageBoxHook(nullptr);
  ASSERT_TRUE(received2.WaitCount(1, 3000));
  EXPECT_EQ(received2.Messages()[0].code, kMsgClose);
  EXPECT_NE(received2.Messages()[0].text, u"") << "the data source learns why";
  EXPECT_EQ(shownMessages.size(), 1u);
  noRoom.Channel().Close();
  source2.Close();
}

}  // namespace
}  // namespace tavrin::test
