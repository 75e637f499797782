// Prints the agent executable that resolution settles on in this environment, or why none.
#include "omp/omp.h"
#include "platform/os_string.h"
#include "platform/stdio.h"
#include "platform/system.h"

int main() {
  vantle::sys::init_process();
  const auto resolved = vantle::omp::resolve_omp_executable();
  if (!resolved) {
    (void)vantle::stdio::write_err("resolution failed: " + resolved.error() + "\n");
    return 1;
  }
  (void)vantle::stdio::write_out(vantle::display(*resolved) + "\n");
  return 0;
}
