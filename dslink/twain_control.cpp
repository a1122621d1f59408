#include "dslink/twain_control.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <utility>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace tavrin {
namespace {

void PrintToStandardError(const std::u16string& text) {
  std::fprintf(stderr, "%s\n", platform::Utf16ToUtf8(text).c_str());
}

std::atomic<MessageBoxHook> messageBoxHook = &PrintToStandardError;

std::mutex sessionCfgInfoMutex;
std::u16string sessionCfgInfo;

std::string Narrow(const std::u16string& text) {
  return platform::Utf16ToUtf8(text);
}

bool FileExists(const std::u16string& path) {
  return !path.empty() && platform::PathExists(Narrow(path));
}

bool IsDecimalSpace(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
}

// Finds name after the current element and returns its value, or leaves
// value alone when it is missing.
bool FindInt(MarkupDocument& doc, std::u16string_view name, int& value) {
  if (!doc.FindElem(name)) return false;
  value = ParseDecimal(doc.GetData());
  return true;
}

// Four percents, left top right bottom, that keep some of the picture;
// anything else is the whole picture (all 0).
std::array<int, 4> ReadSearchArea(MarkupDocument& doc) {
  std::array<int, 4> area{};
  if (!doc.FindElem(u"SearchArea")) return area;
  const std::u16string text = doc.GetData();
  size_t at = 0;
  for (int& value : area) {
    while (at < text.size() && text[at] == u' ') ++at;
    const size_t end = std::min(text.find(u' ', at), text.size());
    if (end == at) return {};
    value = ParseDecimal(std::u16string_view(text).substr(at, end - at));
    at = end;
  }
  const bool inside = area[0] >= 0 && area[1] >= 0 && area[2] <= 100 && area[3] <= 100;
  if (!inside || area[2] <= area[0] || area[3] <= area[1]) return {};
  return area;
}

}  // namespace

void SetMessageBoxHook(MessageBoxHook hook) {
  messageBoxHook = hook != nullptr ? hook : &PrintToStandardError;
}

void ShowLinkMessage(const std::u16string& text) {
  messageBoxHook.load()(text);
}

void UseCfgInfoFromArguments(int argc, const char* const* argv) {
  std::u16string path;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::string_view(argv[i]) == kCfgInfoOption) path = platform::Utf8ToUtf16(argv[i + 1]);
  std::lock_guard lock(sessionCfgInfoMutex);
  sessionCfgInfo = path;
}

TwainLocations TwainLocations::FromSystem() {
  TwainLocations where;
  where.dataSourcePath = platform::GetDataSourcePath();
  {
    std::lock_guard lock(sessionCfgInfoMutex);
    where.cfgInfoPath = sessionCfgInfo;
  }
  // Without a documents folder the path is "/DSConfig/" itself.
  where.configFolder = platform::Utf8ToUtf16(platform::DocumentsFolder()) + u"/DSConfig/";
  return where;
}

int ParseDecimal(std::u16string_view text) {
  size_t at = 0;
  while (at < text.size() && IsDecimalSpace(text[at])) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == u'+' || text[at] == u'-')) negative = text[at++] == u'-';
  long long value = 0;
  for (; at < text.size() && text[at] >= u'0' && text[at] <= u'9'; ++at) {
    value = value * 10 + (text[at] - u'0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) value = INT_MAX;
  return static_cast<int>(value);
}

int ColorIndexFromPixelType(int pixelType) {
  switch (pixelType) {
    case TS_PIXEL_BW:
      return kColorItemBlackWhite;
    case TS_PIXEL_GREY:
      return kColorItemGrey;
    default:  // colour and anything unknown
      return kColorItemColour;
  }
}

CTwainControl::CTwainControl() : CTwainControl(TwainLocations::FromSystem()) {}

CTwainControl::CTwainControl(TwainLocations where)
    : m_strConfigFolder(where.configFolder), locations(std::move(where)) {}

CTwainControl::~CTwainControl() {
  m_Channel.Close();
}

int CTwainControl::Attach(ITwainShowWindow* window) {
  m_Channel.SetCallback(this);
  m_TwainWindow = window;
  if (window == nullptr) {
    ShowLinkMessage(u"m_TwainWindow = null");
    return 0;
  }
  if (ReadCfgInfo() == 0) {
    m_TwainWindow = nullptr;
    return 0;
  }
  ReadShowModel();
  return 1;
}

int CTwainControl::ReadCfgInfo() {
  const std::u16string& dsPath = locations.dataSourcePath;
  if (!FileExists(dsPath)) return 0;
  const size_t slash = dsPath.rfind(u'/');
  if (slash == std::u16string::npos) return 0;
  std::string path = Narrow(locations.cfgInfoPath);
  if (path.empty()) {
    // Where this user's data source writes it first; beside the module only
    // a file of this user. Anyone who can write the program folder (root,
    // say) leaves one there whose blocks this user cannot open.
    const std::string moduleFolder = Narrow(dsPath.substr(0, slash));
    const std::string config = platform::ConfigurationFolder(moduleFolder);
    for (const std::string& place : {config, moduleFolder}) {
      if (place.empty() || !platform::IsOwnRegularFile(place + "/cfgInfo.xml")) continue;
      path = place + "/cfgInfo.xml";
      break;
    }
    if (path.empty()) return 0;
  }
  MarkupDocument doc;
  if (!doc.Load(platform::Utf8ToUtf16(path))) return 0;
  if (!doc.FindElem(u"cfg")) return 1;
  doc.IntoElem();
  std::u16string first;
  std::u16string second;
  if (doc.FindElem(u"Name")) first = doc.GetData();
  if (doc.FindElem(u"m_strImgExe")) second = doc.GetData();
  if (!first.empty() && !second.empty()) m_Channel.Start(first, second, 0);
  return 1;
}

int CTwainControl::ReadShowModel() {
  const std::u16string& dsPath = locations.dataSourcePath;
  if (!FileExists(dsPath) || dsPath.find(u'/') == std::u16string::npos) return 0;
  MarkupDocument doc;
  if (!doc.Load(m_strConfigFolder + u"/ShowModel.xml")) return 0;
  if (doc.FindElem(u"cfg")) {
    doc.IntoElem();
    int value = 0;
    if (FindInt(doc, u"ShowMode", value)) m_nShowMode = value;
    if (FindInt(doc, u"ColorType", value)) m_nColorType = ColorIndexFromPixelType(value);
    // Only the four rotations exist; another value would blank the list.
    if (FindInt(doc, u"RotateMode", value) && value >= 0 && value <= 3) m_nRotateMode = value;
    if (FindInt(doc, u"DPIMode", value)) m_nDPI = value < 1 ? 200 : value;
    m_nCropMode = FindInt(doc, u"CropMode", value) ? value : -1;
    m_nAutoCapture = FindInt(doc, u"AutoCapture", value) ? std::max(0, value) : 0;
    m_nEvenLight = FindInt(doc, u"EvenLight", value) ? (value != 0 ? 1 : 0) : -1;
    const std::array<int, 4> area = ReadSearchArea(doc);
    for (size_t i = 0; i < area.size(); ++i) m_nSearchArea[i] = area[i];
  }
  return 1;
}

int CTwainControl::OnMessage(ChannelBlock* block) {
  ITwainShowWindow* window = m_TwainWindow.load();
  if (window == nullptr) return 0;
  // Read once: a broken peer may change the block under us.
  const int32_t code = block->code;
  switch (code) {
    case kMsgShow:
      window->ShowTwainWindow(1);
      break;
    case kMsgClose:
      window->CloseTwainWindow();
      break;
    case kMsgRequest: {
      window->ApplyShowModel();
      const int mode = m_nShowMode.load();
      // An automatic run was started by the window and shoots by itself.
      if (IsUnattended(mode) && m_nAutoCapture.load() == 0) window->CaptureImage();
      break;
    }
    default:
      break;
  }
  return 1;
}

std::u16string CTwainControl::TempFolder() const {
  if (!locations.tempFolder.empty()) return locations.tempFolder;
  return platform::Utf8ToUtf16(platform::PrivateTempFolder());
}

std::u16string CTwainControl::CopyToTemp(const std::u16string& path,
                                         const std::u16string& tempFolder) const {
  const size_t slash = path.rfind(u'/');
  const std::u16string name = slash == std::u16string::npos ? path : path.substr(slash + 1);
  const std::u16string copy = tempFolder + name;
  const std::string from = Narrow(path);
  const std::string to = Narrow(copy);
  // Made new, never through a link. The folder is ours alone, so a file
  // already there is a copy an earlier session left: it goes first.
  bool exists = false;
  if (platform::CopyFileToNew(from, to, nullptr, &exists)) return copy;
  if (exists && platform::DeleteFilePath(to) && platform::CopyFileToNew(from, to)) return copy;
  // Without a copy (a full disk, say) the original is handed on: it is
  // there until the next start empties the working folder.
  return path;
}

int CTwainControl::SendImage(const std::u16string& path) {
  const int mode = m_nShowMode.load();
  if (mode == kShowModeList) return kSendListMode;
  if (m_TwainWindow.load() == nullptr) return kSendNotAttached;
  if (IsUnattended(mode) || (mode == kShowModeWindow && m_bSendEachImage.load() != 0)) {
    std::u16string sent = path;
    if (m_bCopyToTemp.load() != 0) sent = CopyToTemp(path, TempFolder());
    if (m_Channel.Send(1, kMsgImage, sent)) return 1;
    // A path too long for the message goes out in a list at the close; a
    // data source that does not take its messages will not take a list
    // either, so those files are only reported.
    std::lock_guard lock(listMutex);
    if (sent.size() > kMaxBlockTextUnits)
      unsent.push_back(path);
    else if (m_Channel.IsReceiving())
      notTaken.push_back(path);
    return 0;
  }
  return 0;
}

int CTwainControl::AddFile(const std::u16string& path) {
  std::lock_guard lock(listMutex);
  m_FileList.push_back(path);
  return 1;
}

int CTwainControl::HandOff(const std::u16string& path) {
  const bool oneByOne = SendEachImage();
  int result = 0;
  int sent = 0;
  if (oneByOne || m_nShowMode.load() == kShowModeCaptureSend) {
    {
      std::lock_guard lock(sendMutex);
      sent = SendImage(path);
    }
    if (sent != kSendNotAttached && sent != kSendListMode) result = 1;
  }
  if (!oneByOne || sent == kSendListMode) result = AddFile(path);
  return result;
}

void CTwainControl::SetSendEachImage(bool flag) {
  m_bSendEachImage = flag ? 1 : 0;
  m_bCopyToTemp = flag ? 1 : 0;
}

std::vector<std::u16string> CTwainControl::FileList() const {
  std::lock_guard lock(listMutex);
  return m_FileList;
}

int CTwainControl::WriteFileList() {
  return WriteList(FileList());
}

int CTwainControl::WriteList(const std::vector<std::u16string>& paths) {
  const bool copy = m_bCopyToTemp.load() != 0;
  const std::u16string tempFolder = copy ? TempFolder() : std::u16string();
  const FileListPlaces places = FileListPlacesFor(m_strConfigFolder, TempFolder());
  std::u16string listPath = places.inConfig;
  if (listPath.size() > kMaxBlockTextUnits) {
    listPath = places.fallback;
    if (listPath.size() <= kMaxBlockTextUnits)
      platform::CreateFolders(Narrow(places.fallbackFolder));
  }
  const bool fits = listPath.size() <= kMaxBlockTextUnits;
  std::vector<std::u16string> listed;
  bool saved = false;
  std::u16string saveError;
  {
    std::lock_guard lock(listMutex);
    m_FileListDoc.SetDoc(u"<?xml version=\"1.0\" encoding=\"utf-8\"?>");
    m_FileListDoc.AddElem(u"FileList");
    m_FileListDoc.IntoElem();
    for (const std::u16string& path : paths) {
      if (!FileExists(path)) continue;
      listed.push_back(copy ? CopyToTemp(path, tempFolder) : path);
      m_FileListDoc.AddElem(u"FileName", listed.back());
    }
    if (!listed.empty() && fits) {
      saved = m_FileListDoc.Save(listPath);
      if (!saved) saveError = m_FileListDoc.GetResult();
    }
  }
  if (listed.empty()) {
    m_Channel.Send(1, kMsgClose, u"");
    return 0;
  }
  // An earlier list left at that path must never stand in for this one.
  if (!fits) {
    ReportUndelivered(listed, u"their paths are too long to hand on");
    return -1;
  }
  if (!saved) {
    ReportUndelivered(listed, u"the file list could not be saved (" + saveError + u")");
    return -1;
  }
  if (!m_Channel.Send(1, kMsgFileList, listPath)) {
    ReportUndelivered(listed, u"the data source did not take the file list", false);
    return -1;
  }
  return 0;
}

void CTwainControl::ReportUndelivered(const std::vector<std::u16string>& paths,
                                      const std::u16string& why, bool tellDataSource) {
  std::vector<std::u16string> folders;
  for (const std::u16string& path : paths) {
    const size_t slash = path.rfind(u'/');
    const std::u16string folder = slash == std::u16string::npos ? path : path.substr(0, slash);
    if (std::find(folders.begin(), folders.end(), folder) == folders.end())
      folders.push_back(folder);
  }
  std::u16string where;
  for (const std::u16string& folder : folders) where += (where.empty() ? u"" : u", ") + folder;
  const std::u16string reason = u"The scanned pages could not be handed on: " + why + u".";
  // The data source learns why with the 205; the text must fit the block.
  // Where the pages are matters more than the details of why.
  std::u16string note = reason + u" They are in " + where + u".";
  if (note.size() > kMaxBlockTextUnits)
    note = u"The scanned pages could not be handed on. They are in " + where + u".";
  if (note.size() > kMaxBlockTextUnits) note = reason;
  if (note.size() > kMaxBlockTextUnits) note = note.substr(0, kMaxBlockTextUnits);
  if (tellDataSource) m_Channel.Send(1, kMsgClose, note);
  ShowLinkMessage(reason + u"\nThey are in " + where + u".");
}

int CTwainControl::Finish() {
  if (m_TwainWindow.load() == nullptr) return 0;
  {
    std::lock_guard lock(listMutex);
    if (listDelivered) return 1;
    listDelivered = true;
  }
  const int mode = m_nShowMode.load();
  const bool sendEach = m_bSendEachImage.load() != 0;
  // Mode 3 keeps its files in the list unless they went one by one, so the
  // list must go out at close or they would never reach the data source.
  if (mode == kShowModeList ||
      ((mode == kShowModeWindow || mode == kShowModeCaptureList) && !sendEach)) {
    WriteFileList();
  } else {
    std::vector<std::u16string> left;
    {
      std::lock_guard lock(listMutex);
      left = unsent;
    }
    // Files the channel could not carry one by one go out as a list.
    if (!left.empty()) WriteList(left);
  }
  std::vector<std::u16string> lost;
  {
    std::lock_guard lock(listMutex);
    lost = notTaken;
  }
  if (!lost.empty()) ReportUndelivered(lost, u"the data source did not take them", false);
  if (sendEach) m_Channel.Send(1, kMsgClose, u"");
  return 1;
}

}  // namespace tavrin
