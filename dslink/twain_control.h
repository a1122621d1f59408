// CTwainControl: the scan window's end of the link to the data source, and
// ITwainShowWindow, through which incoming messages drive the window.
// Threads: the window's GUI thread (Attach, HandOff, Finish, ...) and the
// channel's receiver thread (OnMessage, and through it ReadShowModel and
// HandOff). HandOff serialises its SendImage calls.
#pragma once

#include <array>
#include <atomic>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "TavrinSource.h"
#include "dslink/shared_message_channel.h"
#include "xml/markup_document.h"

namespace tavrin {

// Message codes of the link.
inline constexpr int kMsgShow = TS_MSG_SHOW;
inline constexpr int kMsgImage = TS_MSG_IMAGE;
inline constexpr int kMsgClose = TS_MSG_CLOSE;
inline constexpr int kMsgRequest = TS_MSG_REQUEST;
inline constexpr int kMsgFileList = TS_MSG_FILE_LIST;

// Show modes ("ShowMode" of ShowModel.xml, m_nShowMode).
inline constexpr int kShowModeNone = TS_SHOW_NONE;
inline constexpr int kShowModeWindow = TS_SHOW_WINDOW;
inline constexpr int kShowModeCaptureSend = TS_SHOW_CAPTURE_SEND;
inline constexpr int kShowModeList = TS_SHOW_LIST;
inline constexpr int kShowModeCaptureList = TS_SHOW_CAPTURE_LIST;
// Modes 1 and 3 capture at once without the person.
constexpr bool IsUnattended(int showMode) {
  return showMode == kShowModeCaptureSend || showMode == kShowModeCaptureList;
}

// SendImage's results besides the number of messages sent.
inline constexpr int kSendListMode = -2;     // mode 2 lists instead of sending
inline constexpr int kSendNotAttached = -1;  // no window attached

// Where a file list goes, under the user's private temporary folder, when
// the configuration folder's path is too long for the 207 message.
inline constexpr char16_t kFallbackListFolder[] = u"DSConfig/";
inline constexpr char16_t kFileListName[] = u"FileList.xml";

// The two places the window may write its file list, the configuration
// folder's first; the data source reads and removes only these. Both
// folders end in '/'; the list's name is joined to the configuration
// folder with one more, a path data sources already take in 207.
struct FileListPlaces {
  std::u16string inConfig;
  std::u16string fallbackFolder;
  std::u16string fallback;
};
inline FileListPlaces FileListPlacesFor(const std::u16string& configFolder,
                                        const std::u16string& tempFolder) {
  const std::u16string fallbackFolder = tempFolder + kFallbackListFolder;
  return {configFolder + u"/" + kFileListName, fallbackFolder, fallbackFolder + kFileListName};
}

// Implemented by the scan window; the slot order is fixed.
class ITwainShowWindow {
 public:
  virtual int Idle() = 0;
  virtual int ShowTwainWindow(int show) = 0;
  virtual int CaptureImage() = 0;
  virtual int LockMerge(int flag) = 0;
  virtual int CloseTwainWindow() = 0;
  virtual int ApplyShowModel() = 0;

 protected:
  ~ITwainShowWindow() = default;
};

// Shows a message box with an OK button. The window layer installs its own;
// until then the text goes to standard error. Set it before Attach.
using MessageBoxHook = void (*)(const std::u16string& text);
void SetMessageBoxHook(MessageBoxHook hook);
void ShowLinkMessage(const std::u16string& text);

// Where the control finds its files. FromSystem() is what the product uses:
// the data source beside the program, the session description named on the
// window's command line, the documents folder's DSConfig/ and the private
// temporary folder (asked for at each copy when left empty).
struct TwainLocations {
  std::u16string dataSourcePath;
  std::u16string configFolder;  // ends in '/'
  std::u16string tempFolder;    // ends in '/'; empty: ask the platform each time
  // cfgInfo.xml of this session, as its data source wrote it for this
  // window; empty: look where this user's data source writes it.
  std::u16string cfgInfoPath = {};
  static TwainLocations FromSystem();
};

// "--cfg-info <path>": the data source names on the window's command line
// the description it has just written for this session, so that the window
// never reads one another user's session left in a shared folder.
inline constexpr char kCfgInfoOption[] = "--cfg-info";
// Takes the option from the window's command line for every control made
// afterwards (TwainLocations::FromSystem). Call it before the window.
void UseCfgInfoFromArguments(int argc, const char* const* argv);

// Decimal integer as the data source's files hold it: leading white space,
// an optional sign, digits; stops at the first other character; no digits
// give 0; values beyond int are clamped.
int ParseDecimal(std::u16string_view text);
// The items of the window's colour list, which LastSetting.xml's colorType
// holds too.
enum ColorItem {
  kColorItemColour = 0,
  kColorItemGrey = 1,
  kColorItemDocument = 2,  // black and white following the paper
  kColorItemBlackWhite = 3
};
// "ColorType" of ShowModel.xml (TWAIN pixel type) to the colour item.
int ColorIndexFromPixelType(int pixelType);

class CTwainControl : public ITwainDsCallback {
 public:
  CTwainControl();
  explicit CTwainControl(TwainLocations where);
  ~CTwainControl();
  CTwainControl(const CTwainControl&) = delete;
  CTwainControl& operator=(const CTwainControl&) = delete;

  int Attach(ITwainShowWindow* window);
  int ReadCfgInfo();
  int ReadShowModel();
  int OnMessage(ChannelBlock* block) override;
  // -2 in mode 2, -1 when not attached, else the number of messages sent.
  // A message the channel did not carry is not counted: a path too long for
  // it goes out in a file list at Finish; a file the data source did not
  // take is reported to the person there.
  int SendImage(const std::u16string& path);
  int AddFile(const std::u16string& path);
  void SetSendEachImage(bool flag);
  // Where a captured file goes: sent at once one by one or in mode 1,
  // listed for the close otherwise or when the mode sends nothing (2).
  // 1 when it was sent or listed; 0 when it went nowhere (not attached).
  int HandOff(const std::u16string& path);
  // 0 when the list went out (207) or there was nothing to deliver (205);
  // -1 when the list could not be written or its path does not fit a
  // message: then 205 goes out with the reason, and the person is told
  // where the pages are.
  int WriteFileList();
  int Finish();

  // Read by the window on its GUI thread while the receiver thread may
  // write them.
  std::atomic<int> m_nShowMode = kShowModeNone;
  std::atomic<int> m_nDPI = 200;
  std::atomic<int> m_nColorType = 0;
  std::atomic<int> m_nRotateMode = 0;
  // Optional elements after "DPIMode"; each request without them resets
  // them, so they never outlive the request that asked for them.
  std::atomic<int> m_nCropMode = -1;    // crop item to select; -1 keeps the window's
  std::atomic<int> m_nAutoCapture = 0;  // >0: an automatic run, shot after this many still seconds
  std::atomic<int> m_nEvenLight = -1;   // 1 or 0: evened-out light; -1 keeps the window's
  // Percent of a 4:3 field as wide as the picture, left, top, right,
  // bottom: a crop takes only pages lying wholly inside; all 0: anywhere.
  std::array<std::atomic<int>, 4> m_nSearchArea{};

  SharedMessageChannel& Channel() { return m_Channel; }
  const std::u16string& ConfigFolder() const { return m_strConfigFolder; }
  std::vector<std::u16string> FileList() const;
  bool SendEachImage() const { return m_bSendEachImage.load(); }
  bool IsAttached() const { return m_TwainWindow.load() != nullptr; }

 private:
  std::u16string TempFolder() const;
  // Copies the file into the temporary folder under its own name and
  // returns the copy's path.
  std::u16string CopyToTemp(const std::u16string& path, const std::u16string& tempFolder) const;
  int WriteList(const std::vector<std::u16string>& paths);
  // Tells the person why the pages could not be handed on and where they
  // are, and the data source too (205 with the reason) when asked.
  void ReportUndelivered(const std::vector<std::u16string>& paths, const std::u16string& why,
                         bool tellDataSource = true);

  SharedMessageChannel m_Channel;
  std::atomic<ITwainShowWindow*> m_TwainWindow = nullptr;
  MarkupDocument m_FileListDoc;
  std::vector<std::u16string> m_FileList;
  // Files whose path did not fit a 203; delivered by a list at Finish.
  std::vector<std::u16string> unsent;
  // Files whose 203 the data source never took; reported at Finish.
  std::vector<std::u16string> notTaken;
  std::atomic<int> m_bCopyToTemp = 0;
  std::atomic<int> m_bSendEachImage = 0;
  std::u16string m_strConfigFolder;

  TwainLocations locations;
  // The list goes out once per run, even if the window calls Finish twice.
  bool listDelivered = false;
  // Guards m_FileList, unsent, notTaken, m_FileListDoc and listDelivered.
  mutable std::mutex listMutex;
  // Held by HandOff while it sends, so that files from both threads go out
  // one after the other.
  std::mutex sendMutex;
};

}  // namespace tavrin
