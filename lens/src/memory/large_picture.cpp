#include "lens/src/memory/large_picture.h"

#include <sys/mman.h>

#include <new>

namespace tavrin::lens {

namespace {

class LargePictureAllocator final : public cv::MatAllocator {
 public:
  cv::UMatData* allocate(int dims, const int* sizes, int type, void* data0, size_t* step,
                         cv::AccessFlag, cv::UMatUsageFlags) const override {
    size_t total = CV_ELEM_SIZE(type);
    for (int i = dims - 1; i >= 0; --i) {
      if (step != nullptr) {
        if (data0 != nullptr && step[i] != cv::Mat::AUTO_STEP) {
          total = step[i];
        } else {
          step[i] = total;
        }
      }
      total *= static_cast<size_t>(sizes[i]);
    }
    void* data = data0;
    if (data == nullptr) {
      data = ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (data == MAP_FAILED) throw std::bad_alloc();
      ::madvise(data, total, MADV_HUGEPAGE);  // only a hint: without it, plain pages
    }
    auto* u = new cv::UMatData(this);
    u->data = u->origdata = static_cast<uchar*>(data);
    u->size = total;
    if (data0 != nullptr) u->flags |= cv::UMatData::USER_ALLOCATED;
    return u;
  }
  bool allocate(cv::UMatData* u, cv::AccessFlag, cv::UMatUsageFlags) const override {
    return u != nullptr;
  }
  void deallocate(cv::UMatData* u) const override {
    if (u == nullptr) return;
    if ((u->flags & cv::UMatData::USER_ALLOCATED) == 0) ::munmap(u->origdata, u->size);
    delete u;
  }
};

}  // namespace

cv::Mat NewPicture(int rows, int cols, int type, size_t largeFromBytes) {
  cv::Mat picture;
  if (rows > 0 && cols > 0 &&
      static_cast<size_t>(rows) * static_cast<size_t>(cols) * CV_ELEM_SIZE(type) >=
          largeFromBytes) {
    // Never destroyed: a picture may be released after the library's own
    // static objects are gone.
    static const auto* allocator = new LargePictureAllocator;
    picture.allocator = const_cast<LargePictureAllocator*>(allocator);
  }
  picture.create(rows, cols, type);
  return picture;
}

bool OnlyHolder(const cv::Mat& picture) {
  // Another holder's release is an atomic decrement: read it as one.
  return picture.u != nullptr && __atomic_load_n(&picture.u->refcount, __ATOMIC_ACQUIRE) == 1;
}

cv::Mat CopyPicture(const cv::Mat& image) {
  cv::Mat copy = NewPicture(image.size(), image.type());
  image.copyTo(copy);
  return copy;
}

}  // namespace tavrin::lens
