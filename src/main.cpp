#include <exception>

#include "cli/console.h"
#include "cli/dispatch.h"
#include "cli/process.h"

// Before any static initialiser of the tool's own code, so the process is protected before it
// has anything to protect.
__attribute__((constructor(101))) static void protectEarly() { cli::protectProcess(); }

int main(int argc, char** argv) {
  // Every way out passes through here, after unwinding has wiped what it held.
  try {
    // argc is 0 when a caller passes no argument vector at all.
    const cli::Args args = argc > 0 ? cli::Args(argv + 1, argv + argc) : cli::Args();
    return cli::dispatch(args);
  } catch (const cli::Exit& exit) {
    return exit.status;
  } catch (const std::exception& error) {
    cli::report(&error);
  } catch (...) {
    cli::report(nullptr);
  }
  return 1;
}
