#include "digest_omp/prescan.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "json/json.h"
#include "digest_omp/record_rule.h"
#include "json/reader.h"
#include "text/cpu.h"
#include "text/find.h"
#include "text/utf8.h"

namespace vantle::digest {
namespace {

// Bytes that change the structure outside strings, and those that cannot stand there at all: JSON
// has non-ASCII characters only inside strings.
constexpr std::array<bool, 256> STRUCTURAL = [] {
  std::array<bool, 256> table{};
  for (unsigned char c : {'"', '{', '}', '[', ']'}) table[c] = true;
  for (int c = 0x80; c < 0x100; ++c) table[c] = true;
  return table;
}();
// The same, with the line feed that ends a line of a log not yet split into lines.
constexpr std::array<bool, 256> STRUCTURAL_IN_LOG = [] {
  std::array<bool, 256> table = STRUCTURAL;
  table['\n'] = true;
  return table;
}();

// JSON white space; in a log not yet split into lines (kLine) a line feed ends the line instead.
template <bool kLine>
const char* skip_space(const char* p, const char* end) {
  while (p < end && (*p == ' ' || *p == '\t' || *p == '\r' || (!kLine && *p == '\n'))) ++p;
  return p;
}

// Whether the quote at `quote` ends the string whose contents start at `contents`: in valid JSON
// it does unless an odd run of backslashes stands right before it.
bool ends_string(const char* quote, const char* contents) {
  const char* run = quote;
  while (run > contents && run[-1] == '\\') --run;
  return ((quote - run) & 1) == 0;
}

// The closing quote of the string whose contents start at `contents`, looking from `p` on, or null
// when there is none. The portable scan, and the tail of the wide ones.
const char* string_end_portable(const char* contents, const char* p, const char* end) {
  while (p < end) {
    const char* const at = text::find_byte(p, end, '"');
    if (at == nullptr) return nullptr;
    if (ends_string(at, contents)) return at;
    p = at + 1;
  }
  return nullptr;
}

// Of the quotes among the 64 bytes at `p` (one bit per byte, as for the backslashes), those that
// may close the string, given the backslashes of the step before. A quote with no backslash
// before it ends the string and one with exactly one backslash before it does not, which the
// masks tell for all 64 bytes at once; only a quote behind a longer run stays a candidate to be
// looked at alone. In text full of escaped quotes most steps have quotes but no candidate.
inline std::uint64_t closing_candidates(std::uint64_t quotes, std::uint64_t slashes, std::uint64_t previous,
                                        std::uint64_t& one_before) {
  one_before = slashes << 1 | previous >> 63;
  const std::uint64_t two_before = slashes << 2 | previous >> 62;
  return quotes & ~(one_before & ~two_before);
}

// The closing quote among the candidates of the step at `p`, or null.
const char* closing_in_step(const char* p, const char* contents, std::uint64_t candidates, std::uint64_t one_before) {
  while (candidates != 0) {
    const int bit = __builtin_ctzll(candidates);
    const char* const at = p + bit;
    if ((one_before >> bit & 1) == 0 || ends_string(at, contents)) return at;
    candidates &= candidates - 1;
  }
  return nullptr;
}

// The closing quote in the 64-byte step at `p`, given the step's quote and backslash masks, or
// null; `previous` carries the backslashes from one step to the next.
inline const char* closing_quote(const char* p, const char* contents, std::uint64_t quotes, std::uint64_t slashes,
                                 std::uint64_t& previous) {
  std::uint64_t one_before;
  const std::uint64_t candidates = closing_candidates(quotes, slashes, previous, one_before);
  previous = slashes;
  return candidates != 0 ? closing_in_step(p, contents, candidates, one_before) : nullptr;
}

// Finds the closing quote of the string whose contents start at `contents`, or null. A scan that
// checks UTF-8 on the way sets `faulty` when the contents are not UTF-8; the others leave it be.
using StringEnd = const char* (*)(const char* contents, const char* end, bool& faulty);

struct ScanPath {
  StringEnd string_end;
  bool checks_utf8;
};

const char* string_end_quotes(const char* contents, const char* end, bool&) {
  return string_end_portable(contents, contents, end);
}

}  // namespace
}  // namespace vantle::digest

// String contents are most of a log's bytes, so on x86-64 they are skipped 64 bytes per step:
// with SSE2, which every such processor has, or with AVX2 or AVX-512 where the processor has them,
// chosen when the program runs so that one binary serves every processor. Elsewhere the portable
// scan serves.
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>

#include "text/utf8_avx2.h"
#include "text/utf8_avx512.h"

namespace vantle::digest {
namespace {

// Bits of the 16 bytes at `p` that equal `c`.
inline std::uint64_t sse2_mask16(const char* p, __m128i c) {
  const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, c)));
}

const char* string_end_sse2(const char* contents, const char* end, bool&) {
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const char* p = contents;
  std::uint64_t previous = 0;  // backslashes of the step before; the byte before the contents is a quote
  while (end - p >= 64) {
    std::uint64_t quotes = 0;
    std::uint64_t slashes = 0;
    for (int at = 0; at < 64; at += 16) {
      quotes |= sse2_mask16(p + at, quote) << at;
      slashes |= sse2_mask16(p + at, backslash) << at;
    }
    if (const char* at = closing_quote(p, contents, quotes, slashes, previous)) return at;
    p += 64;
  }
  return string_end_portable(contents, p, end);
}

VANTLE_AVX2 inline std::uint64_t avx2_mask64(__m256i low, __m256i high, __m256i c) {
  const auto low_bits = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(low, c)));
  const auto high_bits = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(high, c)));
  return static_cast<std::uint64_t>(high_bits) << 32 | low_bits;
}

// Whether the bytes [p, end) are all ASCII, eight at a time.
bool all_ascii(const char* p, const char* end) {
  std::uint64_t high = 0;
  for (; end - p >= 8; p += 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    high |= word;
  }
  for (; p < end; ++p) high |= static_cast<unsigned char>(*p);
  return (high & 0x8080808080808080ULL) == 0;
}

// The end of a wide scan that checks UTF-8: the closing quote among the last bytes [p, end), too few
// for a step, with those bytes checked on their own from the start of a sequence that the last
// step left open.
const char* checked_tail(const char* contents, const char* p, const char* end, bool& faulty) {
  const char* const close = string_end_portable(contents, p, end);
  if (close == nullptr) return nullptr;
  const char* from = p;
  for (int back = 1; back <= 3 && p - back >= contents; ++back) {
    const auto byte = static_cast<unsigned char>(p[-back]);
    if ((byte & 0xC0) == 0x80) continue;
    if (byte >= 0xC0) from = p - back;
    break;
  }
  if (!all_ascii(from, close) && !text::is_utf8(std::string_view(from, static_cast<std::size_t>(close - from)))) {
    faulty = true;
  }
  return close;
}

// How far ahead of the scan the next bytes are asked for. The processor's own prefetcher stops at
// the edge of each 4 KiB page, and a mapped log's pages lie anywhere in memory.
constexpr std::ptrdiff_t PREFETCH_AHEAD = 4096;

// What one 64-byte step of a wide scan found: a bit per byte.
struct StepMasks {
  std::uint64_t quotes;
  std::uint64_t slashes;
  std::uint64_t feeds;  // only in a log not yet split into lines (kLine)
};

// The steps of the wide scans: each loads 64 bytes, checks their UTF-8 while they are at hand and
// gives their masks; failed() tells whether the steps so far held a fault. AVX2 works in two
// 32-byte halves, AVX-512 in one register, with masks straight from the comparisons.
template <bool kLine>
struct Avx2Steps {
  VANTLE_AVX2 Avx2Steps() : tables(text::avx2::tables()), checked(text::avx2::start()) {}

  VANTLE_AVX2 StepMasks step(const char* p) {
    _mm_prefetch(p + PREFETCH_AHEAD, _MM_HINT_T0);
    const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    text::avx2::step64(checked, low, high, tables);
    return {avx2_mask64(low, high, _mm256_set1_epi8('"')), avx2_mask64(low, high, _mm256_set1_epi8('\\')),
            kLine ? avx2_mask64(low, high, _mm256_set1_epi8('\n')) : 0};
  }
  VANTLE_AVX2 bool failed() const { return text::avx2::failed(checked); }

  text::avx2::Tables tables;
  text::avx2::State checked;
};

template <bool kLine>
struct Avx512Steps {
  VANTLE_AVX512 Avx512Steps() : tables(text::avx512::tables()), checked(text::avx512::start()) {}

  VANTLE_AVX512 StepMasks step(const char* p) {
    const __m512i block = _mm512_loadu_si512(p);
    text::avx512::step64(checked, block, tables);
    return {_mm512_cmpeq_epi8_mask(block, _mm512_set1_epi8('"')), _mm512_cmpeq_epi8_mask(block, _mm512_set1_epi8('\\')),
            kLine ? _mm512_cmpeq_epi8_mask(block, _mm512_set1_epi8('\n')) : 0};
  }
  VANTLE_AVX512 bool failed() const { return text::avx512::failed(checked); }

  text::avx512::Tables tables;
  text::avx512::State checked;
};

// The wide scans also check UTF-8 in the same steps, while the bytes are at hand: a second pass
// over a log's strings would cost as much again. A step that reaches past the closing quote checks
// the bytes there too; they are the same line's, and a sequence they leave open is judged by
// whatever scans them next.
//
// In a log not yet split into lines (kLine), `end` is only where the bytes at hand end, and a raw
// line feed ends the line: the scan then returns the line feed when it comes before the closing
// quote, and also when the step of the closing quote holds one and a fault (which might be the
// next line's). It gives up (null) within a step of `end`.
template <template <bool> class Steps, bool kLine>
[[gnu::always_inline]] inline const char* string_end_wide(const char* contents, const char* end, bool& faulty) {
  Steps<kLine> steps;
  const char* p = contents;
  std::uint64_t previous = 0;
  while (end - p >= 64) {
    const StepMasks masks = steps.step(p);
    const char* const at = closing_quote(p, contents, masks.quotes, masks.slashes, previous);
    if constexpr (kLine) {
      if (masks.feeds != 0) {
        const char* const first_feed = p + __builtin_ctzll(masks.feeds);
        if (at == nullptr || first_feed < at || steps.failed()) return first_feed;
      }
    }
    if (at != nullptr) {
      faulty |= steps.failed();
      return at;
    }
    p += 64;
  }
  if constexpr (kLine) return nullptr;
  faulty |= steps.failed();
  return checked_tail(contents, p, end, faulty);
}

template <bool kLine>
VANTLE_AVX2 const char* string_end_avx2(const char* contents, const char* end, bool& faulty) {
  return string_end_wide<Avx2Steps, kLine>(contents, end, faulty);
}

template <bool kLine>
VANTLE_AVX512 const char* string_end_avx512(const char* contents, const char* end, bool& faulty) {
  return string_end_wide<Avx512Steps, kLine>(contents, end, faulty);
}

}  // namespace

std::vector<PrescanPath> prescan_paths() {
  std::vector<PrescanPath> paths{PrescanPath::kPortable, PrescanPath::kSse2};
  if (text::cpu::has_avx2()) paths.push_back(PrescanPath::kAvx2);
  if (text::cpu::has_avx512bw()) paths.push_back(PrescanPath::kAvx512);
  return paths;
}

namespace {

// A path the processor lacks falls back to a narrower one, so no caller can run an unknown
// instruction.
ScanPath scan_path(PrescanPath path) {
  switch (path) {
    case PrescanPath::kAvx512:
      if (text::cpu::has_avx512bw()) return {string_end_avx512<false>, true};
      return scan_path(PrescanPath::kAvx2);
    case PrescanPath::kAvx2:
      if (text::cpu::has_avx2()) return {string_end_avx2<false>, true};
      return {string_end_sse2, false};
    case PrescanPath::kSse2:
      return {string_end_sse2, false};
    default:
      return {string_end_quotes, false};
  }
}

// The scan for a log not yet split into lines on a path; null for the paths that have none, which
// check UTF-8 apart, and where the processor has no AVX2.
StringEnd line_string_end(PrescanPath path) {
  if (path == PrescanPath::kAvx512 && text::cpu::has_avx512bw()) return string_end_avx512<true>;
  if (path >= PrescanPath::kAvx2 && text::cpu::has_avx2()) return string_end_avx2<true>;
  return nullptr;
}

}  // namespace
}  // namespace vantle::digest
#else
namespace vantle::digest {

std::vector<PrescanPath> prescan_paths() { return {PrescanPath::kPortable}; }

namespace {

ScanPath scan_path(PrescanPath) { return {string_end_quotes, false}; }

StringEnd line_string_end(PrescanPath) { return nullptr; }

}  // namespace
}  // namespace vantle::digest
#endif

namespace vantle::digest {
namespace {

// Which of the keys that decide the outcome a key is.
enum class Slot { kOther, kType, kMessage, kRole };

// What one walk over a line found.
struct Walk {
  bool may_yield = false;
  // The walk reached the line's end: every string went through the string scan and every other
  // byte was ASCII.
  bool whole = false;
  bool faulty = false;  // a string scan that checks UTF-8 found a fault
  // In a log not yet split into lines, when `whole`: where the line ends (its line feed) and
  // where its trimmed text ends (the object's closing brace).
  const char* line_end = nullptr;
  const char* trimmed_end = nullptr;
};

// Walks a trimmed line, or (kLine) the next line of a log not yet split into lines, which must be
// a JSON object followed by nothing but ASCII blanks before its line feed: any other line there is
// left to the caller (not `whole`).
template <bool kLine>
Walk scan(std::string_view line, StringEnd string_end) {
  Walk walk;
  const char* p = line.data();
  const char* const end = p + line.size();
  if (p == end || *p != '{') return walk;

  std::size_t depth = 0;
  bool type_is_message = false;  // the last top-level "type" is the string "message"
  bool role_qualifies = false;   // the last "message" is an object whose last "role" qualifies
  bool in_message = false;       // inside the object of the last top-level "message"

  while (true) {
    constexpr const auto& structural = kLine ? STRUCTURAL_IN_LOG : STRUCTURAL;
    while (p < end && !structural[static_cast<unsigned char>(*p)]) ++p;
    if (p == end || static_cast<unsigned char>(*p) >= 0x80 || (kLine && *p == '\n')) return walk;
    const char c = *p;
    if (c == '{' || c == '[') {
      if (++depth > json::MAX_DEPTH) return walk;
      ++p;
      continue;
    }
    if (c == '}' || c == ']') {
      if (--depth == 0) {
        if constexpr (kLine) {
          const char* after = p + 1;
          while (after < end && (*after == ' ' || *after == '\t' || *after == '\r' || *after == '\v' || *after == '\f')) ++after;
          walk.whole = after < end && *after == '\n';
          walk.line_end = after;
          walk.trimmed_end = p + 1;
        } else {
          walk.whole = p + 1 == end;
        }
        walk.may_yield = walk.whole && type_is_message && role_qualifies;
        return walk;
      }
      if (depth == 1) in_message = false;
      ++p;
      continue;
    }

    // A string. Only keys of the top-level object and of the message object matter; in valid
    // JSON a string followed by a colon is a key.
    const char* const contents = p + 1;
    const char* const close = string_end(contents, end, walk.faulty);
    if (close == nullptr || (kLine && *close == '\n')) return walk;
    p = close + 1;
    const bool top = depth == 1;
    if (!top && !(depth == 2 && in_message)) continue;
    const char* value = skip_space<kLine>(p, end);
    if (value == end || *value != ':') continue;
    const std::string_view key(contents, static_cast<std::size_t>(close - contents));
    Slot slot = Slot::kOther;
    if (top) {
      if (json::decodes_to(key, record_rule::TYPE_KEY)) {
        slot = Slot::kType;
      } else if (json::decodes_to(key, record_rule::MESSAGE_KEY)) {
        slot = Slot::kMessage;
      }
    } else if (json::decodes_to(key, record_rule::ROLE_KEY)) {
      slot = Slot::kRole;
    }
    value = skip_space<kLine>(value + 1, end);
    p = value;
    if (slot == Slot::kOther) continue;

    if (slot == Slot::kMessage) {
      // A later "message" replaces an earlier one, role and all.
      role_qualifies = false;
      in_message = value < end && *value == '{';
      continue;
    }
    bool matches = false;
    if (value < end && *value == '"') {
      const char* const value_close = string_end(value + 1, end, walk.faulty);
      if (value_close == nullptr || (kLine && *value_close == '\n')) return walk;
      const std::string_view text(value + 1, static_cast<std::size_t>(value_close - value - 1));
      const auto is = [text](std::string_view word) { return json::decodes_to(text, word); };
      matches = slot == Slot::kType ? record_rule::is_message(is) : record_rule::role_label(is).has_value();
      p = value_close + 1;
    }
    if (slot == Slot::kType) {
      type_is_message = matches;
    } else {
      role_qualifies = matches;
    }
  }
}

LineCheck check_with(std::string_view line, ScanPath path) {
  const Walk walk = scan<false>(line, path.string_end);
  // A walk cut short left bytes unseen: those lines (not JSON objects, or broken ones) are rare.
  const bool utf8 = path.checks_utf8 && walk.whole ? !walk.faulty : text::is_utf8(line);
  return {utf8, utf8 && walk.may_yield};
}

std::optional<WalkedLine> walk_with(const char* start, const char* end, StringEnd string_end) {
  if (string_end == nullptr) return std::nullopt;
  const Walk walk = scan<true>(std::string_view(start, static_cast<std::size_t>(end - start)), string_end);
  if (!walk.whole) return std::nullopt;
  return WalkedLine{static_cast<std::size_t>(walk.line_end - start), static_cast<std::size_t>(walk.trimmed_end - start),
                    {!walk.faulty, !walk.faulty && walk.may_yield}};
}

ScanPath fastest_path() {
  static const ScanPath fastest = scan_path(prescan_paths().back());
  return fastest;
}

}  // namespace

bool may_yield_record(std::string_view line, PrescanPath path) {
  return scan<false>(line, scan_path(path).string_end).may_yield;
}

bool may_yield_record(std::string_view line) { return scan<false>(line, fastest_path().string_end).may_yield; }

LineCheck check_line(std::string_view line, PrescanPath path) { return check_with(line, scan_path(path)); }

LineCheck check_line(std::string_view line) { return check_with(line, fastest_path()); }

std::optional<WalkedLine> walk_line(const char* start, const char* end) {
  static const StringEnd fastest = line_string_end(prescan_paths().back());
  return walk_with(start, end, fastest);
}

std::optional<WalkedLine> walk_line(const char* start, const char* end, PrescanPath path) {
  return walk_with(start, end, line_string_end(path));
}

}  // namespace vantle::digest
