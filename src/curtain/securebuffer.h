#pragma once

#include <QStringView>

#include <cstddef>
#include <span>

namespace umbrafold {

// A fixed-capacity UTF-16 text buffer for secrets. Its storage is allocated
// once, locked into RAM where the system allows it (so it is never written
// to swap) and kept out of core dumps; every code unit that a change leaves
// behind is overwritten with zeros at once, and the whole storage is zeroed
// before it is released. Not copyable or movable. Any thread, one at a time.
class SecureBuffer {
 public:
  explicit SecureBuffer(std::size_t capacity);
  ~SecureBuffer();
  SecureBuffer(const SecureBuffer&) = delete;
  SecureBuffer& operator=(const SecureBuffer&) = delete;

  std::size_t capacity() const { return capacity_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // The current text. Valid until the next change.
  QStringView view() const;

  // Replaces `length` code units at `position` by `text`. Returns false and
  // changes nothing when the range lies outside the text or the result would
  // exceed the capacity.
  bool replace(std::size_t position, std::size_t length, QStringView text);
  // Empties the buffer and zeroes its whole storage.
  void clear();

  // True when the storage is locked into RAM (mlock may be refused, for
  // example over RLIMIT_MEMLOCK; the buffer is still wiped then).
  bool isLocked() const { return locked_; }
  // The whole storage, including the unused tail, for inspection.
  std::span<const char16_t> storage() const { return {data_, capacity_}; }

 private:
  char16_t* data_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
  std::size_t bytes_ = 0;  // size of the mapping
  bool mapped_ = false;
  bool locked_ = false;
};

}  // namespace umbrafold
