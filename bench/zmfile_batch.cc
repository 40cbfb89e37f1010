// zmfile_batch: stores the file field of every body of a manifest with the
// library's typed API in one process, so that the library's own files per second show without the cost
// of starting a process per upload.
//
//   zmfile_batch --manifest FILE --dir DIR [--field NAME] [--conflict POLICY]
#include <CLI/CLI.hpp>
#include <iostream>
#include <string>
#include <vector>

#include "body_manifest.h"
#include "body_source.h"
#include "zimrax/form_data.h"

int main(int argc, char** argv) {
  CLI::App app{"zmfile_batch: save the file field of many bodies with the library, in one process"};
  std::string manifest_path;
  std::string dir;
  std::string field = "upload1";
  std::string conflict = "error";
  app.add_option("--manifest", manifest_path, "Manifest of bodies (bench/compare format)")->required();
  app.add_option("--dir", dir, "Destination directory")->required();
  app.add_option("--field", field, "Name of the file field");
  app.add_option("--conflict", conflict, "Name-conflict policy");
  CLI11_PARSE(app, argc, argv);

  std::vector<zimrax::bench::ManifestEntry> entries;
  const std::string error = zimrax::bench::ReadManifest(manifest_path, entries);
  if (!error.empty()) {
    std::cerr << "zmfile_batch: " << error << '\n';
    return 2;
  }
  const zimrax::ConflictPolicy policy = zimrax::ParseConflictPolicy(conflict);
  for (const auto& entry : entries) {
    zimrax::zmfile::BodySource body(entry.body_path);
    if (!body.ok()) {
      std::cerr << "zmfile_batch: cannot read body " << body.Error() << '\n';
      return 2;
    }
    const zimrax::OperationResult stored = zimrax::FileSave(body.Bytes(), field, dir, policy);
    if (stored.faulted()) {
      std::cerr << "zmfile_batch: " << entry.body_path << ": fault "
                << zimrax::RuntimeErrorDescription(stored.fault) << '\n';
      return 3;
    }
    if (stored.code != 0) {
      std::cerr << "zmfile_batch: " << entry.body_path << ": error " << stored.code << ": " << stored.text << '\n';
      return 1;
    }
  }
  return 0;
}
