// SPDX-License-Identifier: Apache-2.0
#include "cli/input_buffer.h"

#include <openssl/crypto.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <utility>

namespace cli {

InputBuffer::InputBuffer(InputBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      size_(std::exchange(other.size_, 0)),
      begin_(std::exchange(other.begin_, 0)),
      end_(std::exchange(other.end_, 0)) {}

// A buffer that never mapped (or was moved from) unmaps an empty range: a harmless EINVAL.
InputBuffer::~InputBuffer() {
  OPENSSL_cleanse(data_, size_);
  munmap(data_, capacity_);
}

std::span<char> InputBuffer::spare(std::size_t minimum) {
  if (capacity_ - size_ < minimum) {
    const std::size_t wanted = std::max(2 * capacity_, size_ + minimum);
    void* grown = data_ == nullptr ? mmap(nullptr, wanted, PROT_READ | PROT_WRITE,
                                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                                   : mremap(data_, capacity_, wanted, MREMAP_MAYMOVE);
    if (grown == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<char*>(grown);
    capacity_ = wanted;
  }
  return {data_ + size_, capacity_ - size_};
}

void InputBuffer::commit(std::size_t count) {
  size_ += count;
  end_ = size_;
}

// The rest is wiped at once and its whole pages handed back, so that they no longer count towards
// the peak memory of what follows (for a key, its text past the decoded bytes).
void InputBuffer::keep(std::size_t offset, std::size_t length) {
  begin_ += offset;
  end_ = begin_ + length;
  OPENSSL_cleanse(data_ + end_, size_ - end_);
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t unused = (end_ + page - 1) / page * page;
  if (unused < size_) madvise(data_ + unused, size_ - unused, MADV_DONTNEED);
  size_ = end_;
}

}  // namespace cli
