// Allocation failure on demand, linked into the tool only in the fault build (option
// VANTLE_FAULT_INJECTION). With VANTLE_FAULT_ALLOC=N in the environment, the N-th allocation
// through the global operator new after start-up fails: the throwing forms throw std::bad_alloc,
// the nothrow forms return nullptr. When VANTLE_FAULT_ALLOC_MARK names a file, the failure creates
// it and writes the id of the process that met the failure, so that a runner can tell a run that
// met its failure from one that completed before it.
//
// The failure is one-shot: later allocations succeed again. A real shortage is one large request
// refused; unwinding frees what the work held, and the report that follows allocates a little. A
// failure that persisted would test only that no report is ever written, and would hide the
// recoveries (a caught failure that goes on with a wrong result) that this seam is for.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

#ifndef O_CLOEXEC
#define O_CLOEXEC 0  // Windows: the C runtime's descriptors reach no program the tool starts
#endif

namespace {

std::atomic<std::uint64_t> g_count{0};
// Zero while counting is off: before the environment is read, and in runs without the variable.
std::uint64_t g_fail_at = 0;
const char* g_mark = nullptr;
// Only the thread that starts the tool counts (and, on POSIX, the copies it forks): another
// thread's allocations run beside it and would make the numbering depend on timing.
thread_local bool t_counts = false;

// Runs before main and the tool's static objects, after the C library's start-up: the count
// starts at the same place in every run, so that N names one allocation.
__attribute__((constructor(101))) void read_environment() {
  const char* n = std::getenv("VANTLE_FAULT_ALLOC");
  if (n == nullptr) return;
  g_mark = std::getenv("VANTLE_FAULT_ALLOC_MARK");
  t_counts = true;
  g_fail_at = std::strtoull(n, nullptr, 10);
}

bool should_fail() {
  if (g_fail_at == 0 || !t_counts) return false;
  if (g_count.fetch_add(1, std::memory_order_relaxed) + 1 != g_fail_at) return false;
  if (g_mark != nullptr) {
    // The process that met the failure (the tool or a copy it forked), for whoever debugs a break.
    const int fd = ::open(g_mark, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0) {
      char text[24];
      char* p = text + sizeof text;
      *--p = '\n';
      for (auto pid = static_cast<unsigned long>(::getpid()); p == text + sizeof text - 1 || pid != 0; pid /= 10) {
        *--p = static_cast<char>('0' + pid % 10);
      }
      (void)!::write(fd, p, static_cast<std::size_t>(text + sizeof text - p));
      ::close(fd);
    }
  }
  return true;
}

void* allocate(std::size_t size) noexcept {
  if (should_fail()) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

// The aligned forms over malloc, for a C library without posix_memalign: the block malloc gave sits
// just before the aligned one.
void* allocate_aligned(std::size_t size, std::align_val_t align) noexcept {
  if (should_fail()) return nullptr;
  const std::size_t a = static_cast<std::size_t>(align) < sizeof(void*) ? sizeof(void*) : static_cast<std::size_t>(align);
  void* raw = std::malloc(size + a + sizeof(void*));
  if (raw == nullptr) return nullptr;
  const std::uintptr_t at = (reinterpret_cast<std::uintptr_t>(raw) + sizeof(void*) + a - 1) & ~(a - 1);
  reinterpret_cast<void**>(at)[-1] = raw;
  return reinterpret_cast<void*>(at);
}

void free_aligned(void* p) noexcept {
  if (p != nullptr) std::free(static_cast<void**>(p)[-1]);
}

}  // namespace

void* operator new(std::size_t size) {
  if (void* p = allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* p = allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t align) {
  if (void* p = allocate_aligned(size, align)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t align) {
  if (void* p = allocate_aligned(size, align)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return allocate_aligned(size, align);
}
void* operator new[](std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return allocate_aligned(size, align);
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { free_aligned(p); }
void operator delete[](void* p, std::align_val_t) noexcept { free_aligned(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { free_aligned(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { free_aligned(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { free_aligned(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { free_aligned(p); }
