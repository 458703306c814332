#include "core/text.h"

#include <algorithm>
#include <cstdint>

namespace vorn {
namespace {

// Decodes one well-formed UTF-8 sequence at `i`; returns its length, 0 if invalid.
std::size_t decode_at(std::string_view s, std::size_t i, char32_t* out) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char b0 = byte(i);
  if (b0 < 0x80) {
    *out = b0;
    return 1;
  }
  std::size_t len;
  char32_t cp;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  *out = cp;
  return len;
}

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

// Length of the white-space character that starts at i (0 if none).
std::size_t space_at(std::string_view s, std::size_t i) {
  char32_t c;
  std::size_t n = decode_at(s, i, &c);
  return n != 0 && is_white_space(c) ? n : 0;
}

// Length of the white-space character that ends at `end` (0 if none).
std::size_t space_before(std::string_view s, std::size_t end) {
  for (std::size_t len = 1; len <= 4 && len <= end; ++len) {
    std::size_t start = end - len;
    if ((static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) continue;
    char32_t c;
    return decode_at(s, start, &c) == len && is_white_space(c) ? len : 0;
  }
  return 0;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {  // plain ASCII, the common case
      ++i;
      continue;
    }
    char32_t c;
    std::size_t n = decode_at(text, i, &c);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string to_valid_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    char32_t c;
    std::size_t n = decode_at(bytes, i, &c);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(bytes.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::string_view trim_start_whitespace(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t n = space_at(text, i);
    if (n == 0) break;
    i += n;
  }
  return text.substr(i);
}

std::string_view trim_end_whitespace(std::string_view text) {
  std::size_t end = text.size();
  while (end > 0) {
    std::size_t n = space_before(text, end);
    if (n == 0) break;
    end -= n;
  }
  return text.substr(0, end);
}

std::size_t utf16_length(std::string_view utf8) {
  std::size_t units = 0;
  for (char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte & 0xC0) != 0x80) units += byte >= 0xF0 ? 2 : 1;
  }
  return units;
}

std::string_view trim_whitespace(std::string_view text) {
  return trim_end_whitespace(trim_start_whitespace(text));
}

std::vector<std::string_view> split_whitespace(std::string_view text) {
  std::vector<std::string_view> pieces;
  std::size_t i = 0;
  std::size_t start = 0;
  while (i < text.size()) {
    std::size_t n = space_at(text, i);
    if (n == 0) {
      ++i;
      continue;
    }
    if (i > start) pieces.push_back(text.substr(start, i - start));
    i += n;
    start = i;
  }
  if (start < text.size()) pieces.push_back(text.substr(start));
  return pieces;
}

std::string to_lower_ascii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string to_upper_ascii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

bool equals_ignore_ascii_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && to_lower_ascii(a) == to_lower_ascii(b);
}

std::string with_visible_controls(std::string text) {
  auto is_control = [](char c) { return static_cast<unsigned char>(c) < 0x20 && c != '\t'; };
  if (std::none_of(text.begin(), text.end(), is_control)) return text;
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    if (is_control(c)) {
      out += "\xEF\xBF\xBD";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace vorn
