#include "common/Json.h"

#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>

namespace imgweld {

Json Json::Object() {
  Json json;
  json.value_ = Members{};
  return json;
}

Json Json::Array() {
  Json json;
  json.value_ = Elements{};
  return json;
}

Json& Json::Add(std::string key, Json value) & {
  std::get<Members>(value_).items.emplace_back(std::move(key), std::move(value));
  return *this;
}

Json& Json::Push(Json value) & {
  std::get<Elements>(value_).items.push_back(std::move(value));
  return *this;
}

Json&& Json::Add(std::string key, Json value) && {
  return std::move(Add(std::move(key), std::move(value)));
}

Json&& Json::Push(Json value) && { return std::move(Push(std::move(value))); }

namespace {

// The bytes a JSON string cannot hold as they are: the quote, the
// backslash, the control bytes and every byte from 0x7F.
constexpr std::array<bool, 256> kEscaped = [] {
  std::array<bool, 256> escaped{};
  for (size_t b = 0; b < escaped.size(); ++b) escaped[b] = b < 0x20 || b >= 0x7F;
  escaped['"'] = true;
  escaped['\\'] = true;
  return escaped;
}();

void AppendEscaped(std::string& out, char c) {
  switch (c) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    default: {
      // Every other escaped byte fits two hex digits: "\u00XX".
      static constexpr char kHex[] = "0123456789abcdef";
      const auto byte = static_cast<unsigned char>(c);
      const char escape[] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
      out.append(escape, sizeof escape);
    }
  }
}

// Of the eight bytes in `word` (the first in the low bits), those kEscaped
// marks, as the top bit of each: below 0x20, from 0x7F, the quote and the
// backslash. Adding 0x80 - n to the low seven bits of a byte sets its top
// bit exactly when they are n or more, and never carries into the next.
constexpr uint64_t EscapedBytes(uint64_t word) {
  constexpr uint64_t kOnes = 0x0101010101010101u;
  constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Fu;
  constexpr uint64_t kTops = ~kLow7;
  const auto below = [](uint64_t w, uint64_t n) {
    return ~(((w & kLow7) + kOnes * (0x80 - n)) | w) & kTops;
  };
  const auto equal = [&below](uint64_t w, uint64_t c) { return below(w ^ (kOnes * c), 1); };
  return (word & kTops) | below(word, 0x20) | equal(word, 0x7F) | equal(word, '"') |
         equal(word, '\\');
}

// Listings hold megabytes of text for a hostile image, much of it the
// "\xNN" of bytes no terminal should see: the bytes to escape are found
// eight at a time, and the plain runs between them copied whole, straight
// into the document.
void AppendJsonString(std::string& out, const std::string& text) {
  out += '"';
  size_t plainFrom = 0;
  const auto escapeAt = [&](size_t at) {
    out.append(text, plainFrom, at - plainFrom);
    AppendEscaped(out, text[at]);
    plainFrom = at + 1;
  };
  size_t at = 0;
  for (uint64_t word = 0; text.size() - at >= sizeof word; at += sizeof word) {
    std::memcpy(&word, text.data() + at, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    for (uint64_t found = EscapedBytes(word); found != 0; found &= found - 1) {
      escapeAt(at + static_cast<size_t>(std::countr_zero(found)) / 8);
    }
  }
  for (; at < text.size(); ++at) {
    if (kEscaped[static_cast<unsigned char>(text[at])]) escapeAt(at);
  }
  out.append(text, plainFrom);
  out += '"';
}

template <typename Number>
void AppendNumber(std::string& out, Number number) {
  char digits[24];
  const std::to_chars_result end = std::to_chars(digits, digits + sizeof digits, number);
  out.append(digits, end.ptr);
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 2);
  AppendJsonString(out, text);
  return out;
}

// Writes straight into `out`: a listing of many records is thousands of
// values, and a temporary string per value cost more than the text itself.
void Json::Write(std::string& out, size_t depth) const {
  if (std::holds_alternative<std::nullptr_t>(value_)) {
    out += "null";
  } else if (const bool* flag = std::get_if<bool>(&value_)) {
    out += *flag ? "true" : "false";
  } else if (const int64_t* number = std::get_if<int64_t>(&value_)) {
    AppendNumber(out, *number);
  } else if (const uint64_t* unsignedNumber = std::get_if<uint64_t>(&value_)) {
    AppendNumber(out, *unsignedNumber);
  } else if (const std::string* text = std::get_if<std::string>(&value_)) {
    AppendJsonString(out, *text);
  } else if (const Members* members = std::get_if<Members>(&value_)) {
    if (members->items.empty()) {
      out += "{}";
      return;
    }
    out += "{\n";
    for (size_t i = 0; i < members->items.size(); ++i) {
      out.append(2 * (depth + 1), ' ');
      AppendJsonString(out, members->items[i].first);
      out += ": ";
      members->items[i].second.Write(out, depth + 1);
      out += i + 1 < members->items.size() ? ",\n" : "\n";
    }
    out.append(2 * depth, ' ');
    out += '}';
  } else {
    const Elements& elements = std::get<Elements>(value_);
    if (elements.items.empty()) {
      out += "[]";
      return;
    }
    out += "[\n";
    for (size_t i = 0; i < elements.items.size(); ++i) {
      out.append(2 * (depth + 1), ' ');
      elements.items[i].Write(out, depth + 1);
      out += i + 1 < elements.items.size() ? ",\n" : "\n";
    }
    out.append(2 * depth, ' ');
    out += ']';
  }
}

std::string Json::Text() const {
  std::string out;
  Write(out, 0);
  out += "\n";
  return out;
}

}  // namespace imgweld
