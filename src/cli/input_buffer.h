// The bytes of standard input, in pages of their own: it grows by moving its pages (mremap),
// never by copying, so no stale copy of a key text stays behind and only the pages written count
// towards the process's memory. Wiped before its pages are released. Move-only.
#pragma once

#include <cstddef>
#include <span>

namespace cli {

class InputBuffer {
 public:
  InputBuffer() = default;
  InputBuffer(InputBuffer&& other) noexcept;
  InputBuffer& operator=(InputBuffer&& other) = delete;
  ~InputBuffer();

  // Room for at least minimum bytes past the contents; throws std::bad_alloc if the system
  // refuses it.
  std::span<char> spare(std::size_t minimum);
  // Adds count bytes, written into spare(), to the contents.
  void commit(std::size_t count);

  // The contents; narrowed by keep, to offset and length within the current contents. Pages
  // past the new end are wiped and released.
  std::span<char> contents() const { return {data_ + begin_, end_ - begin_}; }
  void keep(std::size_t offset, std::size_t length);

 private:
  void release(std::size_t from) noexcept;  // wipes [from, written_) and unmaps whole pages

  char* data_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::size_t written_ = 0;  // high-water mark: what must be wiped
};

}  // namespace cli
