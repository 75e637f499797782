// The parts of file.h that are the same on every system, built on the per-system services.
#include <atomic>
#include <cstdint>
#include <exception>
#include <string>

#include "platform/file.h"
#include "platform/fs.h"
#include "platform/os_string.h"
#include "platform/system.h"
#include "platform/termination.h"

namespace vantle::fs {
namespace {

// Numbers the temporary names of a process; one fetch-and-add per name tried keeps two writes,
// of one file or of two, apart.
std::atomic<std::uint64_t> temp_counter{0};

// Removes the temporary file when the write is left by an exception: running out of memory where a
// system call's path is built on the heap (Windows) would otherwise leave it beside the target.
class RemovedOnThrow {
 public:
  explicit RemovedOnThrow(const std::filesystem::path& temp) : temp_(temp) {}
  RemovedOnThrow(const RemovedOnThrow&) = delete;
  RemovedOnThrow& operator=(const RemovedOnThrow&) = delete;
  ~RemovedOnThrow() {
    if (std::uncaught_exceptions() == exceptions_) return;
    try {
      (void)remove_file(temp_);
    } catch (...) {  // the exception already on its way is the one to report
    }
  }

 private:
  const std::filesystem::path& temp_;
  const int exceptions_ = std::uncaught_exceptions();
};

}  // namespace

LiveFile::LiveFile(File file) : file_(std::move(file)), opened_size_(file_.regular_size()) {}

SysResult<std::size_t> LiveFile::read(char* buffer, std::size_t size) {
  auto got = file_.read(buffer, size);
  if (!got) return got;
  read_ += *got;
  if (*got > 0 || !opened_size_) return got;
  // The end: a log that only grew ends where the reads did; one cut short meanwhile does not.
  const std::optional<std::uint64_t> now = file_.regular_size();
  if (read_ < *opened_size_ || (now && *now < read_)) {
    return Err(custom_error(ErrorKind::kSourceGone, std::string(FILE_CUT_SHORT)));
  }
  return got;
}

Result<void, WholeFileFailure> write_file_whole(const std::filesystem::path& target, std::string_view stem,
                                                std::string_view bytes, Durability durability, Install install) {
  // A signal that ends the tool while the temporary file exists waits until it is renamed or
  // removed; killed at once, the tool would leave it beside the target for good.
  termination::Deferral deferral;
  const std::filesystem::path dir = target.parent_path();
  const std::string head = "." + std::string(stem) + "." + std::to_string(sys::current_pid()) + "-";
  WholeFileFailure failure;
  File file;
  // A name that is taken is most likely the leftover of a writer killed before its rename, under
  // a process id that has come round again: it is passed over, never opened.
  for (int attempt = 0; attempt < WHOLE_FILE_NAME_ATTEMPTS; ++attempt) {
    failure.temp = dir / path_from_utf8(head + std::to_string(temp_counter.fetch_add(1)) + ".tmp");
    auto created = File::create_new(failure.temp);
    if (created) {
      file = std::move(*created);
      break;
    }
    failure.error = std::move(created).error();
    if (failure.error.kind != ErrorKind::kAlreadyExists) return Err(std::move(failure));
  }
  if (!file.is_open()) return Err(std::move(failure));
  const RemovedOnThrow removed_on_throw(failure.temp);

  auto written = file.write_all(bytes);
  if (written && durability == Durability::kDurable) written = file.sync();
  file.close();
  if (!written) {
    (void)remove_file(failure.temp);
    failure.error = std::move(written).error();
    return Err(std::move(failure));
  }

  if (install == Install::kKeepExisting) {
    if (auto placed = rename_no_replace(failure.temp, target); !placed) {
      (void)remove_file(failure.temp);
      failure.step = placed.error().kind == ErrorKind::kAlreadyExists ? WholeFileFailure::Step::kExists
                                                                       : WholeFileFailure::Step::kInstall;
      failure.error = std::move(placed).error();
      return Err(std::move(failure));
    }
    if (durability == Durability::kDurable) (void)sync_dir(dir);
    return {};
  }
  auto renamed = rename_replace(failure.temp, target);
  if (!renamed) {
    // Some systems refuse to rename over a file another process holds open: delete it, try once more.
    failure.step = WholeFileFailure::Step::kInstall;
    if (!fs::is_regular_file(target)) {
      (void)remove_file(failure.temp);
      failure.error = std::move(renamed).error();
      return Err(std::move(failure));
    }
    if (auto removed = remove_file(target); !removed) {
      (void)remove_file(failure.temp);
      failure.step = WholeFileFailure::Step::kReplace;
      failure.rename_error = std::move(renamed).error();
      failure.error = std::move(removed).error();
      return Err(std::move(failure));
    }
    if (auto again = rename_replace(failure.temp, target); !again) {
      (void)remove_file(failure.temp);
      failure.error = std::move(again).error();
      return Err(std::move(failure));
    }
  }
  // The rename is reported done only once the directory entry is durable too. A failure here
  // cannot undo the rename, and the new file is already visible, so it is not reported.
  if (durability == Durability::kDurable) (void)sync_dir(dir);
  return {};
}

}  // namespace vantle::fs
