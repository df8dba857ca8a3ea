#pragma once

#include <string>

#include "common/Json.h"
#include "inspect/ConfigListing.h"

namespace imgweld {

// The listing of a configuration: the image -P would write from it.
std::string ConfigText(const ConfigListing& listing, const std::string& name);
Json ConfigJson(const ConfigListing& listing, const std::string& name);

}  // namespace imgweld
