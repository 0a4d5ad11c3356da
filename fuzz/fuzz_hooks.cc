// The plug-in's hooks behind a hostile host: every answer of the readers and
// of the data-access object comes from the input (scripted_host.cc).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "hooks_run.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The hooks report on standard output; only the fuzzer's own report matters.
  if (std::getenv("FUZZ_HOOKS_STDOUT") == nullptr) std::freopen("/dev/null", "w", stdout);
  static std::string scratch = scripted::make_scratch_dir();
  if (scratch.empty()) std::abort();
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(scratch, ec);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  scripted::run_hooks(data, size);
  return 0;
}
