#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace imgweld {

// The "[System] Date" key's text, "YYYY-MM-DD HH:MM:SS": the date and time
// fields of a tagged image's header, written by the configurations made of an
// image and read back by the packer.

// The fields of `text`, or nothing when it is no calendar date and time of
// the key's form: years 0 to 65535 (four digits, or five past 9999), seconds
// up to 60, as a leap second may be stamped.
std::optional<std::tm> ParseDateKeyText(std::string_view text);

// Whether ParseDateKeyText takes `text`.
bool IsDateKeyText(std::string_view text);

// The key's text for the header's fields, the form ParseDateKeyText takes.
std::string DateKeyText(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                        unsigned second);

}  // namespace imgweld
