#include "serve_module.h"

#include <dlfcn.h>

#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "exit_status.h"
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

int CannotLoad(const std::string& why) {
  std::cerr << "zmfile serve: cannot load the server module: " << why << '\n';
  return kExitUsage;
}

}  // namespace

int RunServeModule(const ServeOptions& options) {
  const std::vector<fs::path> candidates = ModuleCandidates();
  if (candidates.empty()) return CannotLoad("cannot find the zmfile executable");
  std::string missing;
  for (const fs::path& candidate : candidates) {
    std::error_code error;
    if (!fs::exists(candidate, error)) {
      missing += (missing.empty() ? "" : " nor ") + candidate.string();
      continue;
    }
    // Kept loaded until the process ends: the server's threads run in it.
    void* module = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) return CannotLoad(::dlerror());
    const auto entry = reinterpret_cast<decltype(&ZmfileRunServe)>(::dlsym(module, kServeEntryName));
    if (entry == nullptr) return CannotLoad(candidate.string() + " has no " + kServeEntryName);
    return entry(&options);
  }
  return CannotLoad("neither " + missing + " exists");
}

}  // namespace zimrax::zmfile
