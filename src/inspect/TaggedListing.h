#pragma once

#include <string>

#include "common/Json.h"
#include "image/ImageReader.h"

namespace imgweld {

// The listing of a tagged image, read once into `facts`: aligned text for
// a person, or one JSON document with stable keys.
std::string TaggedText(const TaggedImageFacts& facts, const std::string& name);
Json TaggedJson(const TaggedImageFacts& facts, const std::string& name);

}  // namespace imgweld
