// Replaces free() and realloc() for the whole program so that every heap
// block is overwritten with zeros before it goes back to the allocator.
//
// Why: the password passes through memory we do not control. Qt copies the
// text of an entry into QStrings, normalises it into temporaries, converts it
// to UTF-8; OpenSSL copies the UTF-8 into its HMAC state. Each of those
// buffers is freed with free(), and glibc leaves freed memory as it was, so
// the plain text would linger in the heap for the life of the process and be
// readable from a core dump, a swap file or /proc/<pid>/mem. Wiping at free()
// ends every such copy the moment its owner lets it go.
//
// The executable exports these symbols (see CMakeLists.txt), so calls from
// every shared library bind here. Allocation itself stays glibc's; only the
// release path changes. Async-signal and thread safety are those of glibc's
// own free and realloc: the wipe touches only the block being released.
#include <malloc.h>
#include <string.h>

#include <cerrno>
#include <cstddef>

extern "C" {

void* __libc_malloc(std::size_t size);
void __libc_free(void* block);

void free(void* block) {
  if (block == nullptr) return;
  explicit_bzero(block, malloc_usable_size(block));
  __libc_free(block);
}

void* realloc(void* block, std::size_t size) {
  if (block == nullptr) return __libc_malloc(size);
  if (size == 0) {
    free(block);
    return nullptr;
  }
  const std::size_t usable = malloc_usable_size(block);
  if (size <= usable) {
    // Shrinking, or growing within the block's slack: stays in place. The
    // tail keeps its bytes until the block is freed, and wiped then.
    return block;
  }
  // glibc's realloc may move the block and release the old one unwiped, so
  // move it here instead.
  void* moved = __libc_malloc(size);
  if (moved == nullptr) return nullptr;  // the old block stays valid, as realloc promises
  memcpy(moved, block, usable);
  free(block);
  return moved;
}

void* reallocarray(void* block, std::size_t count, std::size_t size) {
  std::size_t total = 0;
  if (__builtin_mul_overflow(count, size, &total)) {
    errno = ENOMEM;
    return nullptr;
  }
  return realloc(block, total);
}

}  // extern "C"
