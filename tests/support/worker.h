// Running a test helper program as a child and collecting what it printed.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/process.h"

namespace vantle::testing {

struct WorkerOutput {
  std::vector<std::string> lines;  // stdout, split at line feeds
  ExitStatus status;
};

// Starts `program` with `args`, stdout piped, stdin and stderr null.
process::Child start_worker(const std::filesystem::path& program, const std::vector<std::string>& args);
// Reads the child's stdout to its end and waits for it.
WorkerOutput finish_worker(process::Child& child);

}  // namespace vantle::testing
