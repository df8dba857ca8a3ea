#include "common/Json.h"

#include <array>
#include <cstdio>

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

Json& Json::Add(std::string key, Json value) {
  std::get<Members>(value_).items.emplace_back(std::move(key), std::move(value));
  return *this;
}

Json& Json::Push(Json value) {
  std::get<Elements>(value_).items.push_back(std::move(value));
  return *this;
}

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
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(c));
      out += escape;
    }
  }
}

}  // namespace

// Listings hold megabytes of text for a hostile image: the bytes that need
// no escape are copied a run at a time.
std::string JsonString(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  size_t plainFrom = 0;
  for (size_t at = 0; at < text.size(); ++at) {
    if (!kEscaped[static_cast<unsigned char>(text[at])]) continue;
    out.append(text, plainFrom, at - plainFrom);
    AppendEscaped(out, text[at]);
    plainFrom = at + 1;
  }
  out.append(text, plainFrom);
  out += '"';
  return out;
}

void Json::Write(std::string& out, size_t depth) const {
  const std::string indent(2 * (depth + 1), ' ');
  const std::string closing(2 * depth, ' ');
  if (std::holds_alternative<std::nullptr_t>(value_)) {
    out += "null";
  } else if (const bool* flag = std::get_if<bool>(&value_)) {
    out += *flag ? "true" : "false";
  } else if (const int64_t* number = std::get_if<int64_t>(&value_)) {
    out += std::to_string(*number);
  } else if (const uint64_t* unsignedNumber = std::get_if<uint64_t>(&value_)) {
    out += std::to_string(*unsignedNumber);
  } else if (const std::string* text = std::get_if<std::string>(&value_)) {
    out += JsonString(*text);
  } else if (const Members* members = std::get_if<Members>(&value_)) {
    if (members->items.empty()) {
      out += "{}";
      return;
    }
    out += "{\n";
    for (size_t i = 0; i < members->items.size(); ++i) {
      out += indent + JsonString(members->items[i].first) + ": ";
      members->items[i].second.Write(out, depth + 1);
      out += i + 1 < members->items.size() ? ",\n" : "\n";
    }
    out += closing + "}";
  } else {
    const Elements& elements = std::get<Elements>(value_);
    if (elements.items.empty()) {
      out += "[]";
      return;
    }
    out += "[\n";
    for (size_t i = 0; i < elements.items.size(); ++i) {
      out += indent;
      elements.items[i].Write(out, depth + 1);
      out += i + 1 < elements.items.size() ? ",\n" : "\n";
    }
    out += closing + "]";
  }
}

std::string Json::Text() const {
  std::string out;
  Write(out, 0);
  out += "\n";
  return out;
}

}  // namespace imgweld
