// Pages the scan window captured and no client delivered. The window
// captures into the working folder "Tavrin" of the user's private
// temporary folder; a client that has put a page where it belongs removes
// it from there (PageDelivered). Whatever is left when a session ends, or
// when the next one starts, is moved into a folder of its own under
// "TavrinUndelivered", where it waits until a client delivers it
// (PageDelivery, as any page) or the person discards it.
//
// Every call takes the private temporary folder (ending in '/') so that
// tests can use a folder of their own. The caller holds the user's session
// lock: one session, and so one client delivering, at a time.
#pragma once

#include <ctime>
#include <string>
#include <vector>

namespace tavrin::recovery {

// The window's working folder, without trailing '/'.
std::string WorkFolder(const std::string& tempFolder);
// The session lock every client of the user takes (the data source, and
// tavrin-scan --recover, which starts no window).
std::string SessionLockPath(const std::string& tempFolder);

// The pages of one session that did not reach the client.
struct WaitingPages {
  std::string folder;              // where they are kept, without trailing '/'
  std::vector<std::string> pages;  // full paths, in the order of capture
  std::time_t lastCaptured = 0;    // when the newest of them was written
};

// Moves the pages left in the working folder into a new folder of their
// own. The result's pages are empty when there were none.
WaitingPages KeepUndelivered(const std::string& tempFolder);
// The same, then empties the working folder for a new session (unless a
// page could not be moved out of it).
void ResetWorkFolder(const std::string& tempFolder);
// The kept sessions, oldest first; empty folders are removed on the way.
std::vector<WaitingPages> ListWaiting(const std::string& tempFolder);
// Removes every kept session; false when something could not be removed.
bool DiscardWaiting(const std::string& tempFolder);
// Moves the kept pages back into the working folder, so that the session
// now running delivers them as its own; returns their new paths in order.
std::vector<std::string> TakeIntoWorkFolder(const std::string& tempFolder);

// How many pages, and from when, in a few words: "3 pages from 9 Dec
// 04:12". Empty when nothing waits.
std::string DescribeWaiting(const std::vector<WaitingPages>& waiting);
int CountPages(const std::vector<WaitingPages>& waiting);
// What every client tells the person, each to be followed by how to
// deliver the pages: "3 pages from ... are waiting to be delivered" and
// "2 pages captured in this session were not delivered; they are kept in
// FOLDER". Empty when there are no pages.
std::string WaitingNotice(const std::vector<WaitingPages>& waiting);
std::string KeptNotice(const WaitingPages& kept);

// A page the client has put where it belongs: it goes from the private
// temporary folder, and so does the working folder's original of a copy
// made for one-by-one delivery. Paths outside the private temporary folder
// are never touched: a client removes only what the window captured.
void PageDelivered(const std::string& tempFolder, const std::string& path);

// Puts pages into an output folder as page-001.<ext>, page-002.<ext>, ...,
// numbered on after the highest page already there. Each page is copied to
// a hidden temporary name in the output folder and then moved to its
// name, which is never one that exists: a name taken meanwhile moves the
// page on to the next number. A client killed at any point leaves no
// partial page under a page name, and its next run delivers what was not
// delivered exactly once (see SettleInterrupted).
class PageDelivery {
 public:
  PageDelivery(std::string tempFolder, std::string outputFolder);
  // True with placedAt set when the page is in place (and gone from the
  // temporary folder); else error says why and the page stays where it is.
  bool Deliver(const std::string& page, std::string& placedAt, std::string& error);
  int Delivered() const { return delivered; }

 private:
  std::string tempFolder;
  std::string outputFolder;
  int nextNumber = 1;
  int delivered = 0;
};

// Finishes what a killed client left half done: its temporary copy goes,
// and a page that reached its name before the kill is not delivered again.
// KeepUndelivered calls it first; the window calls that only at its start,
// before its client delivers anything.
void SettleInterrupted(const std::string& tempFolder);

// The number of a name page-NNN or page-NNN.<ext>; 0 for any other name.
int PageNumber(const std::string& name);

}  // namespace tavrin::recovery
