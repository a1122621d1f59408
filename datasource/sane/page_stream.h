// The rows of a page made on a thread of its own while the frontend reads
// the ones before them, so that its progress moves and its own work (an
// encoder writing its file) overlaps the decoding and resampling.
// Threads: Start, Stop and the reader's calls from the frontend's thread
// (under the handle's lock); the maker thread touches only the rows past
// those published, and the counts.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "datasource/sane/page_image.h"

namespace tavrin::sane {

class PageStream {
 public:
  PageStream() = default;
  ~PageStream() { Stop(); }
  PageStream(const PageStream&) = delete;
  PageStream& operator=(const PageStream&) = delete;

  // Called on the maker's thread once every row is made, with the bytes
  // the reader had by then.
  using Done = std::function<void(size_t bytesRead)>;
  // Makes page's rows with maker, which Begin has readied for page; page
  // must stay where it is until Stop.
  void Start(std::unique_ptr<PageMaker> maker, Page& page, Done done = {});
  // Ends the making (within a band) and waits for its thread.
  void Stop();

  enum class Rows { kReady, kAllRead, kWaiting, kFailed };
  // Whether bytes past offset of page.data are there to read, waiting up
  // to wait for them; kWaiting when they are still being made.
  Rows WaitFor(size_t offset, std::chrono::milliseconds wait);
  // Why the rows stopped coming, after kFailed.
  std::string Error();
  // The reader has everything before offset: the maker may go on.
  void Read(size_t offset);
  // The bytes of page.data made so far.
  size_t BytesReady();

 private:
  void Make(PageMaker& maker, Page& page, const Done& done);

  std::mutex mutex_;
  std::condition_variable changed_;
  size_t bytesMade_ = 0;
  size_t bytesRead_ = 0;
  size_t bytesTotal_ = 0;
  bool failed_ = false;
  std::string error_;
  bool stop_ = false;
  std::unique_ptr<PageMaker> making_;  // until Stop, on the thread's behalf
  Done done_;
  std::thread thread_;
};

}  // namespace tavrin::sane
