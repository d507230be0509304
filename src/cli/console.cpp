#include "cli/console.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>

#include "cli/text.h"

namespace cli {
namespace {

// Writes all of data, continuing partial writes; false if the descriptor refuses.
bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

crypto::SecretText input() {
  // Read straight into wiping storage: no stdio buffer keeps a copy of the key text.
  crypto::SecretText text(64 * 1024);
  std::size_t used = 0;
  for (;;) {
    if (used == text.size()) text.resize(text.size() * 2);
    const ssize_t got = ::read(STDIN_FILENO, text.data() + used, text.size() - used);
    if (got < 0) {
      if (errno == EINTR) continue;
      fail("cannot read standard input");
    }
    if (got == 0) break;
    used += static_cast<std::size_t>(got);
  }
  text.resize(used);
  makeWellFormed(text);
  const std::string_view kept = trimmed(crypto::view(text));
  const auto start = static_cast<std::ptrdiff_t>(kept.data() - text.data());
  text.resize(static_cast<std::size_t>(start) + kept.size());
  text.erase(text.begin(), text.begin() + start);
  return text;
}

void fail(std::string_view message) {
  std::string line = "morvane-keyvault: ";
  line += message;
  line += '\n';
  // The outcome is not examined: the run ends with status 1 either way.
  writeAll(STDERR_FILENO, line.data(), line.size());
  std::exit(1);
}

void writeResultLine(std::string_view text) {
  // A closed pipe must become an error line and status 1, not a silent death by SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  // Two writes rather than a copy of a line that may be many megabytes of key text.
  if (!writeAll(STDOUT_FILENO, text.data(), text.size()) || !writeAll(STDOUT_FILENO, "\n", 1)) {
    fail("cannot write to standard output");
  }
}

}  // namespace cli
