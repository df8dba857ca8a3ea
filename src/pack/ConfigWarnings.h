#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/Output.h"
#include "config/ConfigDocument.h"
#include "pack/PackOptions.h"

namespace imgweld {

// Likely mistakes in a configuration that packing accepts, told
// on the diagnostics stream; the run goes on unchanged. Unknown sections and
// keys (with the nearest known name), partition sections the list never
// reaches, numbers with text after them, switches with blanks around "0" or
// "1", `Type_Guid` names with no type GUID behind them, a padded
// partition-table image whose backup cannot be where disk tools look for
// it, and `FwVersion` pieces that are not plain decimals or overflow their
// field, and values the packer cuts to their field (a FILL_BYTE beyond a
// byte, a name beyond 31 characters, a negative partition number beyond 32
// bits). Returns the first warning as "<config>: <where>: <what>", or
// nothing when there was none: a strict run refuses the configuration then.
std::optional<std::string> WarnAboutConfiguration(const ConfigDocument& document,
                                                  const PackOptions& options,
                                                  const std::string& configPath, Output& out);

// The known name nearest to `name` (letter case ignored), or empty when none
// is close enough to be a likely typo.
std::string NearestName(const std::string& name, const std::vector<std::string>& known);

}  // namespace imgweld
