#include "common/Json.h"

#include <gtest/gtest.h>

namespace imgweld {
namespace {

TEST(Json, MembersKeepTheirOrderAndNestingIsIndented) {
  Json document = Json::Object();
  document.Add("z", 1)
      .Add("a", Json::Array().Push(true).Push(nullptr).Push(-5))
      .Add("empty", Json::Object())
      .Add("big", ~uint64_t{0});
  EXPECT_EQ(document.Text(),
            "{\n"
            "  \"z\": 1,\n"
            "  \"a\": [\n"
            "    true,\n"
            "    null,\n"
            "    -5\n"
            "  ],\n"
            "  \"empty\": {},\n"
            "  \"big\": 18446744073709551615\n"
            "}\n");
}

TEST(Json, StringsAreEscapedToAscii) {
  EXPECT_EQ(JsonString("plain"), "\"plain\"");
  EXPECT_EQ(JsonString("q\"b\\s/"), "\"q\\\"b\\\\s/\"");
  EXPECT_EQ(JsonString("\n\r\t\x01\x7f"), "\"\\n\\r\\t\\u0001\\u007f\"");
  EXPECT_EQ(JsonString(std::string("\xe9\xff\0", 3)), "\"\\u00e9\\u00ff\\u0000\"");
}

}  // namespace
}  // namespace imgweld
