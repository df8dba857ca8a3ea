#include "pack/PackOptions.h"

#include <utility>

#include "config/Settings.h"

namespace imgweld {

PackOptions ResolvePackOptions(const ConfigDocument& document, std::string configDir) {
  PackOptions options;
  if (IsGptEnableSet(document)) {
    options.form = IsGptEnabled(document) ? ImageForm::kGptCompact : ImageForm::kGptPadded;
  }
  options.backup = IsBackupPartitionEnabled(document);
  options.nano = IsNanoEnabled(document);
  options.blankGap = IsBlankGapEnabled(document);
  options.fillByte = static_cast<uint8_t>(GetFillByte(document));
  // Only the low byte of the two scrambling numbers counts: 256 means no.
  options.scramblePrograms = static_cast<uint8_t>(GetLoaderEncrypt(document)) != 0;
  options.scrambleSectors = static_cast<uint8_t>(GetIdbBootEncrypt(document)) != 0;
  // Programs given scrambled go back into the block as they came, so they
  // are stored scrambled whatever Loader_Encrypt says.
  options.programsGivenScrambled = IsLoaderScrambled(document);
  if (options.programsGivenScrambled) options.scramblePrograms = true;
  options.configDir = std::move(configDir);
  return options;
}

}  // namespace imgweld
