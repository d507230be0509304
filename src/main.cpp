#include "cli/dispatch.h"

int main(int argc, char** argv) {
  const cli::Args args(argv + 1, argv + argc);
  return cli::dispatch(args);
}
