#pragma once

#include <string>

#include "common/Json.h"
#include "image/ImageReader.h"

namespace imgweld {

// The listing of a partition-table image, read once into `facts`.
std::string GptText(const GptImageFacts& facts, const std::string& name);
Json GptJson(const GptImageFacts& facts, const std::string& name);

}  // namespace imgweld
