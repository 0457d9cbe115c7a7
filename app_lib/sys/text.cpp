#include "app_lib/sys/text.h"

#include <cstdint>

namespace app_lib::sys {
namespace {

// What starts at byte `i`: the length of a valid sequence (0 if none), the
// length of the longest prefix that could still begin a valid one (at least
// 1, so lossy decoding emits one U+FFFD per such prefix), and whether the
// input simply ran out in the middle of a sequence.
struct SequenceScan {
  std::size_t valid = 0;
  std::size_t prefix = 1;
  bool incomplete = false;
};

SequenceScan scan_sequence(std::string_view s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
  const std::uint8_t b0 = byte(i);
  if (b0 < 0x80) return {1, 1, false};
  std::size_t need = 0;
  std::uint8_t lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return {};
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) return {0, k, true};
    const std::uint8_t b = byte(i + k);
    const std::uint8_t min = (k == 1) ? lo : 0x80;
    const std::uint8_t max = (k == 1) ? hi : 0xBF;
    if (b < min || b > max) return {0, k, false};
  }
  return {need + 1, need + 1, false};
}

std::size_t utf8_sequence_length(std::string_view s, std::size_t i, bool& incomplete) {
  const SequenceScan scan = scan_sequence(s, i);
  incomplete = scan.incomplete;
  return scan.valid;
}

std::size_t invalid_prefix_length(std::string_view s, std::size_t i) {
  return scan_sequence(s, i).prefix;
}

char32_t decode_at(std::string_view s, std::size_t i, std::size_t len) {
  const auto b = [&](std::size_t k) {
    return static_cast<char32_t>(static_cast<std::uint8_t>(s[i + k]));
  };
  switch (len) {
    case 1:
      return b(0);
    case 2:
      return ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
    case 3:
      return ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
    default:
      return ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
  }
}

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

bool is_continuation(char c) {
  return (static_cast<std::uint8_t>(c) & 0xC0) == 0x80;
}

}  // namespace

Result<std::string_view> validate_utf8(std::string_view bytes) {
  std::size_t i = 0;
  // ASCII fast path: most requests are plain ASCII JSON.
  while (i < bytes.size()) {
    if (static_cast<std::uint8_t>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    bool incomplete = false;
    const std::size_t len = utf8_sequence_length(bytes, i, incomplete);
    if (len == 0) {
      if (incomplete) {
        return fail("incomplete UTF-8 byte sequence from index " + std::to_string(i));
      }
      return fail("invalid UTF-8 sequence of " + std::to_string(invalid_prefix_length(bytes, i)) +
                  " bytes from index " + std::to_string(i));
    }
    i += len;
  }
  return bytes;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    bool incomplete = false;
    const std::size_t len = utf8_sequence_length(bytes, i, incomplete);
    if (len == 0) {
      out += "\xEF\xBF\xBD";
      i += invalid_prefix_length(bytes, i);
      continue;
    }
    out.append(bytes.substr(i, len));
    i += len;
  }
  return out;
}

std::string_view trim_white_space(std::string_view s) {
  std::size_t begin = 0;
  while (begin < s.size()) {
    bool incomplete = false;
    const std::size_t len = utf8_sequence_length(s, begin, incomplete);
    if (len == 0 || !is_white_space(decode_at(s, begin, len))) break;
    begin += len;
  }
  std::size_t end = s.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && is_continuation(s[start])) --start;
    bool incomplete = false;
    const std::size_t len = utf8_sequence_length(s, start, incomplete);
    if (len != end - start || !is_white_space(decode_at(s, start, len))) break;
    end = start;
  }
  return s.substr(begin, end - begin);
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace app_lib::sys
