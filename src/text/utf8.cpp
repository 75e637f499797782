#include "text/utf8.h"

#include <cstdint>
#include <cstring>

namespace vantle::text {
namespace {

// Length of the valid sequence starting at `i`, or the error it starts. Follows the
// "maximal subpart" rule, so that lossy decoding and error lengths agree with common decoders.
struct Step {
  std::size_t len;   // bytes consumed (valid) or invalid-sequence length
  bool valid;
  bool incomplete;   // input ended inside a sequence that could still be valid
};

Step step(std::string_view s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
  const std::uint8_t c = b(i);
  if (c < 0x80) return {1, true, false};
  std::size_t need;
  std::uint8_t lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return {1, false, false};
  }
  std::size_t k = 1;
  for (; k <= need; ++k) {
    if (i + k >= s.size()) return {k, false, true};
    const std::uint8_t cont = b(i + k);
    const std::uint8_t min = k == 1 ? lo : 0x80;
    const std::uint8_t max = k == 1 ? hi : 0xBF;
    if (cont < min || cont > max) return {k, false, false};
  }
  return {need + 1, true, false};
}

// The portable check, and the one that tells where and how the bytes stop being UTF-8.
std::optional<Utf8Error> first_fault(std::string_view bytes) {
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    // ASCII runs are the common case in logs; skip them eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, bytes.data() + i, 8);
      if (word & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= n) break;
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    const Step st = step(bytes, i);
    if (!st.valid) {
      if (st.incomplete) return Utf8Error{i, std::nullopt};
      return Utf8Error{i, st.len};
    }
    i += st.len;
  }
  return std::nullopt;
}

}  // namespace

bool is_utf8_portable(std::string_view bytes) { return !first_fault(bytes).has_value(); }

std::optional<Utf8Error> check_utf8(std::string_view bytes) {
  // Text is nearly always valid: let the fast check say so before looking for the fault.
  if (is_utf8(bytes)) return std::nullopt;
  return first_fault(bytes);
}

std::string describe(const Utf8Error& error) {
  if (error.error_len) {
    return "invalid utf-8 sequence of " + std::to_string(*error.error_len) + " bytes from index " +
           std::to_string(error.valid_up_to);
  }
  return "incomplete utf-8 byte sequence from index " + std::to_string(error.valid_up_to);
}

std::string utf8_lossy(std::string_view bytes) {
  if (is_utf8(bytes)) return std::string(bytes);
  // Sized first: a replaced byte takes three, and growing by doubling would hold twice that.
  std::size_t size = 0;
  for (std::size_t i = 0; i < bytes.size();) {
    const Step st = step(bytes, i);
    size += st.valid ? st.len : 3;
    i += st.len;
  }
  std::string out;
  out.reserve(size);
  std::size_t i = 0;
  while (i < bytes.size()) {
    const Step st = step(bytes, i);
    if (st.valid) {
      out.append(bytes.substr(i, st.len));
    } else {
      out.append("\xEF\xBF\xBD");
    }
    i += st.len;
  }
  return out;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

char32_t next_code_point(std::string_view s, std::size_t& pos) {
  const auto b = [&](std::size_t k) { return static_cast<char32_t>(static_cast<std::uint8_t>(s[k])); };
  const char32_t c = b(pos);
  if (c < 0x80) {
    pos += 1;
    return c;
  }
  if (c < 0xE0) {
    const char32_t cp = ((c & 0x1F) << 6) | (b(pos + 1) & 0x3F);
    pos += 2;
    return cp;
  }
  if (c < 0xF0) {
    const char32_t cp = ((c & 0x0F) << 12) | ((b(pos + 1) & 0x3F) << 6) | (b(pos + 2) & 0x3F);
    pos += 3;
    return cp;
  }
  const char32_t cp = ((c & 0x07) << 18) | ((b(pos + 1) & 0x3F) << 12) | ((b(pos + 2) & 0x3F) << 6) |
                      (b(pos + 3) & 0x3F);
  pos += 4;
  return cp;
}

std::size_t count_code_points(std::string_view valid) {
  std::size_t n = 0;
  for (unsigned char c : valid) n += (c & 0xC0) != 0x80;
  return n;
}

namespace {

template <bool Lossy>
std::optional<std::string> from_utf16(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char32_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      append_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      if constexpr (!Lossy) return std::nullopt;
      append_utf8(out, 0xFFFD);
    } else {
      append_utf8(out, u);
    }
  }
  return out;
}

}  // namespace

std::optional<std::string> utf16_to_utf8(std::u16string_view units) { return from_utf16<false>(units); }

std::string utf16_to_utf8_lossy(std::u16string_view units) { return *from_utf16<true>(units); }

std::u16string utf8_to_utf16(std::string_view utf8) {
  std::string owned;
  if (!is_utf8(utf8)) {
    owned = utf8_lossy(utf8);
    utf8 = owned;
  }
  std::u16string out;
  out.reserve(utf8.size());
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    const char32_t cp = next_code_point(utf8, pos);
    if (cp >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

}  // namespace vantle::text

// The fast check. The digest checks every byte of a session log, mostly long strings, and one
// byte at a time would cost as much as all the rest of its work. Other processors, and x86-64
// ones without AVX2, take the portable check.
#if defined(__x86_64__) && defined(__GNUC__)
#include "text/cpu.h"
#include "text/utf8_avx2.h"

namespace vantle::text {
namespace {

using namespace avx2;

VANTLE_AVX2 bool valid_avx2(const unsigned char* p, std::size_t n) {
  const Tables t = tables();
  State s = start();
  std::size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    step64(s, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)),
           _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 32)), t);
  }
  for (; i + 32 <= n; i += 32) advance(s, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)), t);
  if (i < n) {
    // The tail, padded with NUL bytes: ASCII, so a sequence open at the end shows as an error.
    alignas(32) unsigned char tail[32] = {};
    std::memcpy(tail, p + i, n - i);
    advance(s, _mm256_load_si256(reinterpret_cast<const __m256i*>(tail)), t);
  }
  const __m256i error = _mm256_or_si256(s.error, s.pending);
  return _mm256_testz_si256(error, error) != 0;
}

}  // namespace

bool is_utf8(std::string_view bytes) {
  if (cpu::has_avx2()) return valid_avx2(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  return is_utf8_portable(bytes);
}

}  // namespace vantle::text
#else
namespace vantle::text {
bool is_utf8(std::string_view bytes) { return is_utf8_portable(bytes); }
}  // namespace vantle::text
#endif
