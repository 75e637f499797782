#include "main/dispatch.h"

#include <array>
#include <exception>
#include <new>
#include <vector>

#include "corvane_omp/corvane_omp.h"
#include "digest_omp/digest_omp.h"
#include "history_omp/history_omp.h"
#include "launch_omp/launch_omp.h"
#include "platform/stdio.h"
#include "platform/system.h"
#include "thymel_omp/thymel_omp.h"

namespace vantle {
namespace {

constexpr std::array<Subcommand, 5> kSubcommands = {{
    {"digest-omp", &digest::digest_omp},
    {"history-omp", &history::history_omp},
    {"thymel-omp", &thymel::thymel_omp},
    {"corvane-omp", &corvane::corvane_omp},
    {"launch-omp", &launch::launch_omp},
}};

bool names_driver(std::string_view name) {
  for (const auto& sub : kSubcommands) {
    if (name == sub.name) return true;
  }
  return false;
}

}  // namespace

int dispatch(std::span<const std::string> args) {
  if (args.empty() || args[0] == "-h" || args[0] == "--help") {
    (void)stdio::write_err(USAGE);
    return 0;
  }
  for (const auto& sub : kSubcommands) {
    if (args[0] == sub.name) return sub.driver(args.subspan(1));
  }
  (void)stdio::write_report("vantle: unknown subcommand: " + args[0]);
  (void)stdio::write_err(USAGE);
  return 2;
}

namespace {

int run(int argc, char** argv) {
  sys::init_process();
  const std::vector<OsString> os_args = sys::command_line(argc, argv);
  std::vector<std::string> args;
  for (std::size_t i = 1; i < os_args.size(); ++i) {
    auto utf8 = os_args[i].to_utf8();
    if (!utf8) {
      // Arguments after one that names no driver (help, an unknown subcommand) are never read.
      if (i > 1 && !names_driver(args[0])) break;
      (void)stdio::write_report("vantle: argument " + std::to_string(i) +
                                " is not valid Unicode: " + os_args[i].to_utf8_lossy());
      return 2;
    }
    args.push_back(std::move(*utf8));
  }
  return dispatch(args);
}

}  // namespace

int run_main(int argc, char** argv) {
  // The drivers report their failures themselves; this is the last resort, so that nothing a
  // driver missed ends the process abnormally.
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    (void)stdio::write_report("vantle: " + std::string(OUT_OF_MEMORY));
  } catch (const std::exception& e) {
    (void)stdio::write_report("vantle: " + std::string(e.what()));
  } catch (...) {
    (void)stdio::write_report("vantle: unexpected failure");
  }
  return 1;
}

}  // namespace vantle
