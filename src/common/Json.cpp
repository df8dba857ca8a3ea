#include "common/Json.h"

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

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte < 0x20 || byte >= 0x7F) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", byte);
          out += escape;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
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
  return out + "\n";
}

}  // namespace imgweld
