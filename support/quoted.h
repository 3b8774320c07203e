// How every message names a path or a value the user gave: as given, in
// single quotes ("cannot open the backup list 'x.lst'").
#pragma once

#include <string>
#include <string_view>

namespace tandrel::support {

inline std::string Quoted(std::string_view text)
{
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted += '\'';
    quoted += text;
    quoted += '\'';
    return quoted;
}

}  // namespace tandrel::support
