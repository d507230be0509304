// SPDX-License-Identifier: Apache-2.0
#include <cstddef>
#include <exception>
#include <ranges>
#include <span>

#include "cli/console.h"
#include "cli/dispatch.h"
#include "cli/process.h"

int main(int argc, char** argv) {
  cli::protectProcess();  // before the run has anything to protect
  // Every way out passes through here, after unwinding has wiped what it held.
  try {
    // argc is 0 when a caller passes no argument vector at all; drop takes that in its stride.
    const auto words = std::views::drop(std::span(argv, static_cast<std::size_t>(argc)), 1);
    return cli::dispatch(cli::Args(words.begin(), words.end()));
  } catch (const cli::Exit& exit) {
    return exit.status;
  } catch (const std::exception& error) {
    cli::report(&error);
  } catch (...) {
    cli::report(nullptr);
  }
  return 1;
}
