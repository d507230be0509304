// SPDX-License-Identifier: Apache-2.0
#include "cli/console.h"

#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>
#include <span>

#include "cli/text.h"

namespace cli {
namespace {

constexpr std::string_view prefix = "morvane-keyvault: ";
// Linux gives EWOULDBLOCK the value of EAGAIN, so testing one tests both.
static_assert(EAGAIN == EWOULDBLOCK);

iovec part(std::string_view text) { return {const_cast<char*>(text.data()), text.size()}; }

// Waits until fd is ready for events; a non-blocking descriptor said it would block. A failed
// poll only brings the next attempt sooner. No call here fails with EINTR: the tool's one signal
// handler exits, and Linux restarts these calls after a stop.
void await(int fd, short events) {
  pollfd entry{fd, events, 0};
  poll(&entry, 1, -1);
}

// Writes every part whole, continuing partial writes; false if the descriptor refuses.
bool writeAll(int fd, std::span<iovec> parts) {
  while (!parts.empty()) {
    const ssize_t written = ::writev(fd, parts.data(), static_cast<int>(parts.size()));
    if (written < 0) {
      if (errno != EAGAIN) return false;
      await(fd, POLLOUT);
      continue;
    }
    auto left = static_cast<std::size_t>(written);
    while (!parts.empty() && left >= parts.front().iov_len) {
      left -= parts.front().iov_len;
      parts = parts.subspan(1);
    }
    if (!parts.empty()) {
      parts.front().iov_base = static_cast<char*>(parts.front().iov_base) + left;
      parts.front().iov_len -= left;
    }
  }
  return true;
}

// The tool's one line on stderr: a lead-in, if any, then the message.
void writeLine(std::string_view first, std::string_view second = {}) noexcept {
  iovec parts[] = {part(prefix), part(first), part(second), part("\n")};
  // The outcome is not examined: the run ends with status 1 either way.
  writeAll(STDERR_FILENO, parts);
}

std::string_view textOf(const std::exception& error) {
  if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr) return "out of memory";
  return error.what();
}

}  // namespace

InputBuffer input() {
  InputBuffer buffer;
  for (;;) {
    const std::span<char> room = buffer.spare(BUFSIZ);
    const ssize_t got = ::read(STDIN_FILENO, room.data(), room.size());
    if (got < 0) {
      if (errno != EAGAIN) fail("cannot read standard input");
      await(STDIN_FILENO, POLLIN);
      continue;
    }
    if (got == 0) break;
    buffer.commit(static_cast<std::size_t>(got));
  }
  const std::span<char> text = buffer.contents();
  const std::string_view kept = trimmed({text.data(), text.size()});
  buffer.keep(static_cast<std::size_t>(kept.data() - text.data()), kept.size());
  return buffer;
}

void fail(std::string_view message) {
  writeLine(message);
  throw Exit{1};
}

void fail(std::string_view leadIn, const std::exception& error) {
  writeLine(leadIn, textOf(error));
  throw Exit{1};
}

void report(const std::exception* error) noexcept {
  writeLine(error != nullptr ? textOf(*error) : "unexpected error");
}

void writeResultLine(std::string_view text) {
  iovec parts[] = {part(text), part("\n")};
  if (!writeAll(STDOUT_FILENO, parts)) fail("cannot write to standard output");
}

}  // namespace cli
