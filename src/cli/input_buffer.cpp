#include "cli/input_buffer.h"

#include <openssl/crypto.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <utility>

namespace cli {
namespace {

constexpr std::size_t firstCapacity = std::size_t{1} << 20;

std::size_t pageRounded(std::size_t size) {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return (size + page - 1) / page * page;
}

}  // namespace

InputBuffer::InputBuffer(InputBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      begin_(std::exchange(other.begin_, 0)),
      end_(std::exchange(other.end_, 0)),
      written_(std::exchange(other.written_, 0)) {}

InputBuffer::~InputBuffer() { release(0); }

std::span<char> InputBuffer::spare(std::size_t minimum) {
  if (capacity_ - end_ < minimum) {
    const std::size_t wanted =
        pageRounded(std::max({firstCapacity, 2 * capacity_, end_ + minimum}));
    void* grown = data_ == nullptr ? mmap(nullptr, wanted, PROT_READ | PROT_WRITE,
                                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                                   : mremap(data_, capacity_, wanted, MREMAP_MAYMOVE);
    if (grown == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<char*>(grown);
    capacity_ = wanted;
  }
  return {data_ + end_, capacity_ - end_};
}

void InputBuffer::commit(std::size_t count) {
  end_ += count;
  written_ = std::max(written_, end_);
}

void InputBuffer::keep(std::size_t offset, std::size_t length) {
  begin_ += offset;
  end_ = begin_ + length;
  release(end_);
}

// A buffer that never mapped (or was moved from) unmaps an empty range: a harmless EINVAL.
void InputBuffer::release(std::size_t from) noexcept {
  if (written_ > from) OPENSSL_cleanse(data_ + from, written_ - from);
  written_ = std::min(written_, from);
  const std::size_t kept = pageRounded(from);
  if (kept == 0) {
    munmap(data_, capacity_);
    data_ = nullptr;
    capacity_ = 0;
  } else if (kept < capacity_) {
    munmap(data_ + kept, capacity_ - kept);
    capacity_ = kept;
  }
}

}  // namespace cli
