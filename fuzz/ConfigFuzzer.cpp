// Feeds arbitrary text to the configuration parser, then reads it the way a
// pack run does: every System getter, the resolution and the partition list.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "common/Output.h"
#include "config/ConfigDocument.h"
#include "config/Settings.h"
#include "pack/LayoutChecks.h"
#include "pack/PackContext.h"
#include "pack/PackLayout.h"
#include "pack/PartitionList.h"
#include "pack/ResolvedConfig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace imgweld;
  const std::string text(reinterpret_cast<const char*>(data), size);
  ConfigDocument document;
  std::istringstream in(text);
  document.Parse(in, false);

  (void)IsGptEnableSet(document);
  (void)IsGptEnabled(document);
  (void)IsBackupPartitionEnabled(document);
  (void)IsNanoEnabled(document);
  (void)IsBlankGapEnabled(document);
  (void)GetFillByte(document);
  (void)GetLoaderEncrypt(document);
  (void)GetIdbBootEncrypt(document);

  FirmwareHeader header;
  (void)ReadFwVersion(document, header);
  (void)ReadChip(document, header);
  (void)ReadModel(document, header);

  // File names resolve below a directory that does not exist, so the
  // partition reader only ever measures missing files.
  StringOutput out;
  ResolvedConfig config;
  const PackMoment moment{nullptr, nullptr, 0};
  if (ResolveConfiguration(document, {"fuzz.ini", "/nonexistent-imgweld-fuzz", moment, nullptr},
                           config, out)) {
    PackContext context{config.options, out};
    PackInput input;
    if (ReadPackInput(config, context, input)) {
      (void)CheckPartitionNumbers(config.partitions, out);
      if (config.options.IsGpt()) {
        (void)CheckGptLayout(GptLayoutOf(config, input), "fuzz.img", out);
      } else {
        (void)CheckTaggedPlacement(TaggedLayoutOf(config, input), out);
      }
    }
  }

  // Writing and parsing again must not crash either.
  std::ostringstream written;
  document.WriteInCreationOrder(written);
  ConfigDocument again;
  std::istringstream reread(written.str());
  again.Parse(reread, true);
  return 0;
}
