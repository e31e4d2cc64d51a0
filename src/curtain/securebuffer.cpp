#include "securebuffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <new>

namespace umbrafold {

namespace {

void wipe(void* data, std::size_t bytes) {
  if (bytes > 0) explicit_bzero(data, bytes);
}

}  // namespace

SecureBuffer::SecureBuffer(std::size_t capacity) : capacity_(capacity) {
  const long page = sysconf(_SC_PAGESIZE);
  const std::size_t pageSize = page > 0 ? static_cast<std::size_t>(page) : 4096;
  const std::size_t wanted = capacity_ * sizeof(char16_t);
  bytes_ = (wanted + pageSize - 1) / pageSize * pageSize;
  if (bytes_ == 0) bytes_ = pageSize;

  void* memory = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory != MAP_FAILED) {
    mapped_ = true;
    locked_ = mlock(memory, bytes_) == 0;
    madvise(memory, bytes_, MADV_DONTDUMP);
    data_ = static_cast<char16_t*>(memory);
  } else {
    // No mapping: fall back to the heap, still zero-initialised and wiped.
    data_ = new (std::nothrow) char16_t[capacity_ > 0 ? capacity_ : 1]();
    if (data_ == nullptr) capacity_ = 0;
    bytes_ = capacity_ * sizeof(char16_t);
  }
}

SecureBuffer::~SecureBuffer() {
  if (data_ == nullptr) return;
  wipe(data_, bytes_);
  if (mapped_) {
    if (locked_) munlock(data_, bytes_);
    munmap(data_, bytes_);
  } else {
    delete[] data_;
  }
}

QStringView SecureBuffer::view() const { return QStringView(data_, static_cast<qsizetype>(size_)); }

bool SecureBuffer::replace(std::size_t position, std::size_t length, QStringView text) {
  if (position > size_ || length > size_ - position) return false;
  const auto inserted = static_cast<std::size_t>(text.size());
  const std::size_t newSize = size_ - length + inserted;
  if (newSize > capacity_) return false;

  const std::size_t tail = size_ - position - length;
  if (tail > 0 && inserted != length) {
    std::memmove(data_ + position + inserted, data_ + position + length, tail * sizeof(char16_t));
  }
  if (inserted > 0) std::memcpy(data_ + position, text.utf16(), inserted * sizeof(char16_t));
  if (newSize < size_) wipe(data_ + newSize, (size_ - newSize) * sizeof(char16_t));
  size_ = newSize;
  return true;
}

void SecureBuffer::clear() {
  if (data_ != nullptr) wipe(data_, capacity_ * sizeof(char16_t));
  size_ = 0;
}

}  // namespace umbrafold
