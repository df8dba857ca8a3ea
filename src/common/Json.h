#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace imgweld {

// A JSON document built in memory and written out at once. Object members
// keep the order in which they were added, so a document's keys come out in
// the same order on every run. Text is taken as bytes: bytes 0x80 to 0xFF
// are written as the code points U+0080 to U+00FF, so the output is ASCII and
// valid JSON whatever the bytes (a reader gets the bytes back by encoding the
// string as Latin-1).
class Json {
 public:
  Json() = default;  // null
  Json(std::nullptr_t) {}
  Json(bool value) : value_(value) {}
  template <typename T>
  requires(std::is_integral_v<T> && !std::is_same_v<T, bool>) Json(T value) {
    if constexpr (std::is_signed_v<T>) {
      value_ = static_cast<int64_t>(value);
    } else {
      value_ = static_cast<uint64_t>(value);
    }
  }
  Json(std::string text) : value_(std::move(text)) {}
  Json(const char* text) : value_(std::string(text)) {}

  static Json Object();
  static Json Array();

  // Adds a member to an object; returns the object.
  Json& Add(std::string key, Json value) &;
  // Appends an element to an array; returns the array.
  Json& Push(Json value) &;
  // The same on a document being built in one expression: it is handed on
  // as a temporary, so that adding it to another moves it rather than
  // copying the whole tree.
  Json&& Add(std::string key, Json value) &&;
  Json&& Push(Json value) &&;

  // The document with two-space indentation and a final line feed.
  std::string Text() const;

 private:
  struct Members {
    std::vector<std::pair<std::string, Json>> items;
  };
  struct Elements {
    std::vector<Json> items;
  };
  void Write(std::string& out, size_t depth) const;

  std::variant<std::nullptr_t, bool, int64_t, uint64_t, std::string, Members, Elements> value_;
};

// `text` as a JSON string literal, quotes included.
std::string JsonString(const std::string& text);

}  // namespace imgweld
