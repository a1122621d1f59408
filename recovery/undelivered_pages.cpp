#include "recovery/undelivered_pages.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <utility>

#include "platform/files.h"
#include "platform/text.h"

namespace tavrin::recovery {
namespace {

constexpr char kWorkFolderName[] = "Tavrin";
constexpr char kKeptFolderName[] = "TavrinUndelivered";
constexpr char kJournalName[] = "TavrinDelivery.txt";
constexpr char kLockName[] = "TavrinSource.lock";
constexpr char kPartPrefix[] = ".tavrin-";
// A folder that full of numbered pages is not one to count on past.
constexpr int kMaxNumberTries = 100000;

std::string KeptFolder(const std::string& tempFolder) {
  return tempFolder + kKeptFolderName;
}

std::string JournalPath(const std::string& tempFolder) {
  return tempFolder + kJournalName;
}

std::string NameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string ExtensionOf(const std::string& path) {
  const std::string name = NameOf(path);
  const size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot);
}

// What the window writes as a page. Its half-written files carry a random
// suffix after the extension, and hidden names are never pages.
bool IsPageName(const std::string& name) {
  if (name.empty() || name[0] == '.') return false;
  std::string extension = ExtensionOf(name);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (const char* known : {".jpg", ".jpeg", ".png", ".bmp", ".tif", ".tiff", ".pdf"})
    if (extension == known) return true;
  return false;
}

struct Page {
  std::string path;
  long long modifiedNs = 0;
};

// The pages of a folder in the order they were written.
std::vector<Page> PagesIn(const std::string& folder) {
  std::vector<Page> pages;
  for (const std::string& name : platform::ListFolder(folder)) {
    if (!IsPageName(name)) continue;
    const std::string path = folder + "/" + name;
    const platform::PathInfo info = platform::InfoOf(path);
    if (info.regular) pages.push_back({path, info.modifiedNs});
  }
  std::sort(pages.begin(), pages.end(), [](const Page& a, const Page& b) {
    return a.modifiedNs != b.modifiedNs ? a.modifiedNs < b.modifiedNs : a.path < b.path;
  });
  return pages;
}

WaitingPages DescribeFolder(const std::string& folder) {
  WaitingPages waiting{folder, {}, 0};
  for (const Page& page : PagesIn(folder)) {
    waiting.pages.push_back(page.path);
    waiting.lastCaptured =
        std::max(waiting.lastCaptured, static_cast<std::time_t>(page.modifiedNs / 1000000000LL));
  }
  return waiting;
}

// A real folder of this user (never a link planted in its place).
bool IsOwnFolder(const std::string& path) {
  const platform::PathInfo info = platform::InfoOf(path);
  return info.folder && info.ownedByUser;
}

std::string NewKeptFolder(const std::string& tempFolder) {
  const std::string parent = KeptFolder(tempFolder);
  if (!IsOwnFolder(parent) && !platform::CreateNewFolder(parent)) return {};
  if (!IsOwnFolder(parent)) return {};
  return platform::CreateDatedFolder(parent);
}

std::string Normalised(const std::string& path) {
  return std::filesystem::path(path).lexically_normal().string();
}

bool LiesUnder(const std::string& path, const std::string& folder) {
  const std::string inner = Normalised(path);
  std::string outer = Normalised(folder);
  if (outer.empty() || outer.front() != '/') return false;
  if (outer.back() != '/') outer.push_back('/');
  return inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0;
}

struct Journal {
  std::string page;
  std::string part;
  std::string target;
};

void WriteJournal(const std::string& tempFolder, const Journal& journal) {
  // Without it a kill at the wrong moment could deliver a page twice, never
  // lose one: the delivery goes on either way.
  platform::ReplaceFileAtomically(
      JournalPath(tempFolder), journal.page + "\n" + journal.part + "\n" + journal.target + "\n");
}

bool ReadJournal(const std::string& tempFolder, Journal& journal) {
  std::string bytes;
  if (!platform::ReadWholeFile(JournalPath(tempFolder), bytes)) return false;
  const std::vector<std::string> lines = platform::SplitAt(bytes, '\n');
  if (lines.size() < 3) return false;
  journal = {lines[0], lines[1], lines[2]};
  return true;
}

}  // namespace

std::string WorkFolder(const std::string& tempFolder) {
  return tempFolder + kWorkFolderName;
}

std::string SessionLockPath(const std::string& tempFolder) {
  return tempFolder + kLockName;
}

int PageNumber(const std::string& name) {
  if (name.rfind("page-", 0) != 0) return 0;
  size_t at = 5;
  long number = 0;
  while (at < name.size() && name[at] >= '0' && name[at] <= '9' && number < 100000000)
    number = number * 10 + (name[at++] - '0');
  if (at == 5 || (at < name.size() && name[at] != '.')) return 0;
  return static_cast<int>(number);
}

void SettleInterrupted(const std::string& tempFolder) {
  Journal journal;
  const bool known = ReadJournal(tempFolder, journal);
  if (known) {
    if (!journal.part.empty() && NameOf(journal.part).rfind(kPartPrefix, 0) == 0)
      platform::DeleteFilePath(journal.part);
    // Killed after the page took its name and before it left here.
    if (!journal.target.empty() && platform::SameFileContents(journal.page, journal.target))
      PageDelivered(tempFolder, journal.page);
  }
  platform::DeleteFilePath(JournalPath(tempFolder));
}

WaitingPages KeepUndelivered(const std::string& tempFolder) {
  SettleInterrupted(tempFolder);
  const std::string work = WorkFolder(tempFolder);
  if (!IsOwnFolder(work)) return {};
  const std::vector<Page> pages = PagesIn(work);
  if (pages.empty()) return {};
  const std::string kept = NewKeptFolder(tempFolder);
  if (kept.empty()) return {};
  for (const Page& page : pages) platform::MoveToNewName(page.path, kept + "/" + NameOf(page.path));
  return DescribeFolder(kept);
}

void ResetWorkFolder(const std::string& tempFolder) {
  KeepUndelivered(tempFolder);
  const std::string work = WorkFolder(tempFolder);
  // Half-written files and the like go; a page that could not be set
  // aside stays where it is. What is not a folder of ours (a link, a
  // folder someone else made) is never a session's and goes whole, the
  // link without its target.
  if (!IsOwnFolder(work) || PagesIn(work).empty()) platform::DeleteFolderTree(work);
}

std::vector<WaitingPages> ListWaiting(const std::string& tempFolder) {
  std::vector<WaitingPages> waiting;
  const std::string parent = KeptFolder(tempFolder);
  if (!IsOwnFolder(parent)) return waiting;
  for (const std::string& name : platform::ListFolder(parent)) {
    const std::string folder = parent + "/" + name;
    if (!IsOwnFolder(folder)) continue;
    WaitingPages pages = DescribeFolder(folder);
    if (pages.pages.empty()) {
      // Only what holds nothing the person might want goes by itself.
      if (platform::ListFolder(folder).empty()) platform::DeleteFolderTree(folder);
      continue;
    }
    waiting.push_back(std::move(pages));
  }
  std::stable_sort(
      waiting.begin(), waiting.end(),
      [](const WaitingPages& a, const WaitingPages& b) { return a.lastCaptured < b.lastCaptured; });
  return waiting;
}

bool DiscardWaiting(const std::string& tempFolder) {
  const std::string parent = KeptFolder(tempFolder);
  return !platform::InfoOf(parent).exists || platform::DeleteFolderTree(parent);
}

std::vector<std::string> TakeIntoWorkFolder(const std::string& tempFolder) {
  std::vector<std::string> taken;
  const std::string work = WorkFolder(tempFolder);
  if (!IsOwnFolder(work)) return taken;
  for (const WaitingPages& set : ListWaiting(tempFolder)) {
    for (const std::string& page : set.pages) {
      // Numbers of another run may meet this run's: the kept name then
      // gets a prefix until it is free.
      std::string target = work + "/" + NameOf(page);
      for (int i = 2; platform::InfoOf(target).exists && i < 1000; ++i)
        target = work + "/kept" + std::to_string(i) + "_" + NameOf(page);
      if (platform::MoveToNewName(page, target) == platform::PlaceResult::kPlaced)
        taken.push_back(target);
    }
    if (platform::ListFolder(set.folder).empty()) platform::DeleteFolderTree(set.folder);
  }
  return taken;
}

int CountPages(const std::vector<WaitingPages>& waiting) {
  int count = 0;
  for (const WaitingPages& set : waiting) count += static_cast<int>(set.pages.size());
  return count;
}

std::string DescribeWaiting(const std::vector<WaitingPages>& waiting) {
  const int count = CountPages(waiting);
  if (count == 0) return {};
  auto when = [](std::time_t time) {
    std::tm local{};
    localtime_r(&time, &local);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M", &local);
    return std::string(text);
  };
  std::string text = std::to_string(count) + (count == 1 ? " page" : " pages") + " from ";
  const std::string first = when(waiting.front().lastCaptured);
  const std::string last = when(waiting.back().lastCaptured);
  return text + (first == last ? last : first + " to " + last);
}

std::string WaitingNotice(const std::vector<WaitingPages>& waiting) {
  const std::string pages = DescribeWaiting(waiting);
  if (pages.empty()) return {};
  return pages + (CountPages(waiting) == 1 ? " is" : " are") + " waiting to be delivered";
}

std::string KeptNotice(const WaitingPages& kept) {
  const size_t count = kept.pages.size();
  if (count == 0) return {};
  return std::to_string(count) + (count == 1 ? " page" : " pages") + " captured in this session " +
         (count == 1 ? "was" : "were") + " not delivered; " + (count == 1 ? "it is" : "they are") +
         " kept in " + kept.folder;
}

void PageDelivered(const std::string& tempFolder, const std::string& path) {
  if (!LiesUnder(path, tempFolder)) return;
  platform::DeleteFilePath(path);
  const std::string work = WorkFolder(tempFolder);
  const std::string folder = Normalised(FolderOf(path));
  if (folder != Normalised(work)) {
    // A copy made for one-by-one delivery: its original is delivered too.
    if (Normalised(folder + "/") == Normalised(tempFolder))
      platform::DeleteFilePath(work + "/" + NameOf(path));
    // A kept session whose last page went.
    if (LiesUnder(folder, KeptFolder(tempFolder)) && platform::ListFolder(folder).empty())
      platform::DeleteFolderTree(folder);
  }
}

PageDelivery::PageDelivery(std::string temp, std::string output)
    : tempFolder(std::move(temp)), outputFolder(std::move(output)) {
  for (const std::string& name : platform::ListFolder(outputFolder))
    nextNumber = std::max(nextNumber, PageNumber(name) + 1);
}

bool PageDelivery::Deliver(const std::string& page, std::string& placedAt, std::string& error) {
  Journal journal{page, outputFolder + "/" + kPartPrefix + NameOf(page) + ".part", ""};
  // A part of ours left by a client killed before it could note it.
  platform::DeleteFilePath(journal.part);
  WriteJournal(tempFolder, journal);
  if (!platform::CopyFileToNew(page, journal.part, &error)) {
    platform::DeleteFilePath(JournalPath(tempFolder));
    return false;
  }
  const std::string extension = ExtensionOf(page);
  for (int tries = 0;; ++tries, ++nextNumber) {
    char name[32];
    std::snprintf(name, sizeof(name), "page-%03d", nextNumber);
    journal.target = outputFolder + "/" + name + extension;
    WriteJournal(tempFolder, journal);
    const platform::PlaceResult placed =
        platform::MoveToNewName(journal.part, journal.target, &error);
    if (placed == platform::PlaceResult::kPlaced) break;
    if (placed == platform::PlaceResult::kFailed || tries == kMaxNumberTries) {
      if (placed == platform::PlaceResult::kExists)
        error = "no free page number in " + outputFolder;
      platform::DeleteFilePath(journal.part);
      platform::DeleteFilePath(JournalPath(tempFolder));
      return false;
    }
  }
  ++nextNumber;
  ++delivered;
  placedAt = journal.target;
  PageDelivered(tempFolder, page);
  platform::DeleteFilePath(JournalPath(tempFolder));
  return true;
}

}  // namespace tavrin::recovery
