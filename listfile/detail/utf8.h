// UTF-8 checking and repair for the texts of list files.
#pragma once

#include <string>
#include <string_view>

namespace tandrel {

// The byte offset of the first byte that does not begin a well-formed UTF-8
// sequence (overlong forms, surrogates and code points above U+10FFFF are not
// well-formed), or text.size() when the whole text is well-formed.
std::size_t FirstInvalidUtf8(std::string_view text) noexcept;

// Replaces each maximal subpart of an ill-formed sequence by U+FFFD (EF BF BD),
// the way the Unicode standard recommends; a well-formed text is left as is.
void RepairUtf8(std::string& text);

}  // namespace tandrel
