// The fuzz targets' check of JSON syntax, kept apart from the targets: it
// is built without coverage instrumentation, since its branches are no
// product behaviour to steer the fuzzer by, and it walks every byte of
// every listing.
#pragma once

#include <string_view>

namespace fuzz {

// Whether `text` is one valid JSON document (RFC 8259), blanks around it.
bool IsValidJson(std::string_view text);

}  // namespace fuzz
