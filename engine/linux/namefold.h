// How a destination that does not tell upper from lower case sees a name:
// the key two names share when the file system takes them for one.
#pragma once

#include <string>
#include <string_view>

namespace tandrel {

// `name` with every letter in Unicode simple case folding, and, with
// `oneForm`, in its canonical decomposition (NFD), so that "é" as U+00E9 and
// as "e" + U+0301 key alike. A name that is not valid UTF-8 is folded byte by
// byte, A-Z alone.
std::string FoldedName(std::string_view name, bool oneForm);

}  // namespace tandrel
