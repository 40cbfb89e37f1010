#include "serve_module.h"

#include <dlfcn.h>

#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "result_printer.h"
#include "server/serve_entry.h"

namespace zimrax::zmfile {
namespace {

namespace fs = std::filesystem;

constexpr char kModuleName[] = "zmfile-serve.so";

std::vector<fs::path> ModuleCandidates() {
  std::error_code error;
  const fs::path executable = fs::read_symlink("/proc/self/exe", error);
  if (error) return {};
  const fs::path dir = executable.parent_path();
  return {dir / kModuleName, (dir / ZIMRAX_SERVE_MODULE_FROM_BINDIR / kModuleName).lexically_normal()};
}

}  // namespace

int RunServeModule(const ServeOptions& options) {
  std::string why = "cannot find the zmfile executable";
  std::string looked_in;
  for (const fs::path& candidate : ModuleCandidates()) {
    std::error_code error;
    if (!fs::exists(candidate, error)) {
      looked_in += (looked_in.empty() ? "" : " nor ") + candidate.string();
      why = "neither " + looked_in + " exists";
      continue;
    }
    // Kept loaded until the process ends: the server's threads run in it.
    void* module = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
      why = ::dlerror();
      break;
    }
    const auto entry = reinterpret_cast<decltype(&ZmfileRunServe)>(::dlsym(module, kServeEntryName));
    if (entry == nullptr) {
      why = candidate.string() + " has no " + kServeEntryName;
      break;
    }
    return entry(&options);
  }
  std::cerr << "zmfile serve: cannot load the server module: " << why << '\n';
  return kExitUsage;
}

}  // namespace zimrax::zmfile
