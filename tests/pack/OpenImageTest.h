#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "common/File.h"
#include "common/Output.h"
#include "config/ConfigDocument.h"
#include "pack/ImagePlan.h"
#include "pack/ImageWriter.h"
#include "pack/PackContext.h"
#include "pack/PackOptions.h"
#include "pack/PackTestSupport.h"
#include "support/TestSupport.h"

namespace imgweld::test {

// An empty image open for writing in a fresh directory, with what a pack run
// hands its writers: the configuration, the directory names resolve in, the
// fill byte 0xFF and the output sink.
class OpenImageTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(file_.Open(dir_ / "Firmware.img", "wb+")); }

  // Closes the image and returns its bytes.
  std::vector<uint8_t> Image() {
    EXPECT_TRUE(file_.Close());
    return ReadBytes(dir_ / "Firmware.img");
  }

  // Reads `config` and resolves the options the writers see, with the
  // fill byte 0xFF.
  void Configure(const std::string& config) {
    ParseConfig(document_, config);
    options_ = ResolvePackOptions(document_, dir_.Path().string());
    options_.fillByte = 0xFF;
  }

  // Performs what `build` lays out, on the open image.
  template <typename Build>
  bool WritePlanned(Build build) {
    PlanBuilder builder;
    build(builder);
    ImagePlan plan = builder.Finish();
    return WritePlannedImage(plan, image_, out_);
  }

  TempDir dir_;
  File file_;
  StringOutput out_;
  ConfigDocument document_;
  PackOptions options_;
  PackContext context_{options_, out_};
  ImageWriter image_{file_, "Firmware.img", 0xFF, out_};
};

}  // namespace imgweld::test
