#include "support/worker.h"

#include <stdexcept>

namespace vantle::testing {

process::Child start_worker(const std::filesystem::path& program, const std::vector<std::string>& args) {
  process::Command command;
  command.program = program;
  command.args = args;
  command.in = process::Stdio::kNull;
  command.out = process::Stdio::kPipe;
  command.err = process::Stdio::kNull;
  auto child = process::spawn(command);
  if (!child) throw std::runtime_error("cannot start a worker: " + child.error().message);
  return std::move(*child);
}

WorkerOutput finish_worker(process::Child& child) {
  WorkerOutput output;
  auto pipe = child.take_stdout();
  const auto text = pipe ? pipe->read_to_end() : SysResult<std::string>(std::string());
  auto status = child.wait();
  if (!text || !status) throw std::runtime_error("cannot finish a worker");
  std::size_t start = 0;
  while (start < text->size()) {
    const std::size_t lf = text->find('\n', start);
    output.lines.push_back(text->substr(start, lf == std::string::npos ? std::string::npos : lf - start));
    if (lf == std::string::npos) break;
    start = lf + 1;
  }
  output.status = *status;
  return output;
}

}  // namespace vantle::testing
