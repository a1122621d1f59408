#include "datasource/sane/page_stream.h"

#include <algorithm>
#include <new>
#include <system_error>

namespace tavrin::sane {

namespace {

// Rows made at a time: small enough that the first reach the frontend
// soon, large enough that the handing over costs nothing beside them.
constexpr int kBandRows = 32;
// The maker stays at most this far ahead of the reader. A frontend that
// reads slowly has nothing to gain from more, and the last rows are made
// only once the frontend has the first, whatever the two threads' speeds.
constexpr int kRowsAhead = 256;

}  // namespace

void PageStream::Start(std::unique_ptr<PageMaker> maker, Page& page, Done done) {
  Stop();
  {
    std::lock_guard lock(mutex_);
    bytesMade_ = static_cast<size_t>(maker->RowsMade()) * page.bytesPerLine;
    bytesRead_ = 0;
    bytesTotal_ = page.data.size();
    failed_ = false;
    error_.clear();
    stop_ = false;
  }
  making_ = std::move(maker);
  done_ = std::move(done);
  try {
    thread_ = std::thread([this, &page] { Make(*making_, page, done_); });
  } catch (const std::system_error&) {
    // No thread to be had (a process at its limit): the rows are made
    // here, all of them, as if the reader had read them as they came.
    {
      std::lock_guard lock(mutex_);
      bytesRead_ = bytesTotal_;
    }
    Make(*making_, page, done_);
  }
}

void PageStream::Make(PageMaker& maker, Page& page, const Done& done) {
  const size_t ahead = static_cast<size_t>(kRowsAhead) * page.bytesPerLine;
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return stop_ || bytesMade_ < bytesRead_ + ahead; });
      if (stop_ || bytesMade_ >= bytesTotal_) return;
    }
    int made = 0;
    std::string error;
    try {
      made = maker.MakeRows(page, kBandRows);
      if (made < 0) error = maker.Error();
    } catch (const std::bad_alloc&) {
      made = -1;
      error = "out of memory";
    }
    size_t read = 0;
    {
      std::lock_guard lock(mutex_);
      if (made < 0) {
        failed_ = true;
        error_ = error;
      } else {
        bytesMade_ = static_cast<size_t>(maker.RowsMade()) * page.bytesPerLine;
        // A maker with no more rows short of the page: the rest would be
        // rows never made.
        if (made == 0 && bytesMade_ < bytesTotal_) {
          failed_ = true;
          error_ = "the page's rows stopped short";
        }
      }
      read = bytesRead_;
      changed_.notify_all();
      if (failed_) return;
      if (bytesMade_ < bytesTotal_) continue;
    }
    if (done) done(read);
    return;
  }
}

void PageStream::Stop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
  making_.reset();
  done_ = nullptr;
}

PageStream::Rows PageStream::WaitFor(size_t offset, std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  const auto there = [&] { return failed_ || bytesMade_ > offset || offset >= bytesTotal_; };
  changed_.wait_for(lock, wait, there);
  if (offset >= bytesTotal_) return Rows::kAllRead;
  if (bytesMade_ > offset) return Rows::kReady;
  return failed_ ? Rows::kFailed : Rows::kWaiting;
}

void PageStream::Read(size_t offset) {
  {
    std::lock_guard lock(mutex_);
    bytesRead_ = std::max(bytesRead_, offset);
  }
  changed_.notify_all();
}

std::string PageStream::Error() {
  std::lock_guard lock(mutex_);
  return error_;
}

size_t PageStream::BytesReady() {
  std::lock_guard lock(mutex_);
  return bytesMade_;
}

}  // namespace tavrin::sane
