// SPDX-License-Identifier: Apache-2.0
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

  // Room for at least minimum bytes past what was read; throws std::bad_alloc if the system
  // refuses it.
  std::span<char> spare(std::size_t minimum);
  // Adds count bytes, written into spare(), to what was read, and makes all of it the contents.
  void commit(std::size_t count);

  // The contents; narrowed by keep, to offset and length within the current contents, which
  // wipes and releases the rest.
  std::span<char> contents() const { return {data_ + begin_, end_ - begin_}; }
  void keep(std::size_t offset, std::size_t length);

 private:
  char* data_{};
  std::size_t capacity_{};
  std::size_t size_{};  // what was read: what must be wiped
  std::size_t begin_{};
  std::size_t end_{};
};

}  // namespace cli
