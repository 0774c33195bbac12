// UTF-8 validity as the interpreter's strict decoder sees it.
#pragma once

#include <string_view>

namespace velk {

// Valid UTF-8: no overlong form, no surrogate, nothing above U+10FFFF.
bool ValidUtf8(std::string_view s);

}  // namespace velk
