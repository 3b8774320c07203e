// What `tandrel --version` and `tandrel-cli --version` print below the
// program's name and version, as the GNU tools do: the copyright and the
// terms.
#pragma once

namespace tandrel::support {

inline constexpr char kLicenceNotice[] =
    "Copyright (C) 2026 Tandrel maintainers\n"
    "License GPL-3.0-or-later: GNU GPL version 3 or later <https://gnu.org/licenses/gpl.html>\n"
    "This is free software: you are free to change and redistribute it.\n"
    "There is NO WARRANTY, to the extent permitted by law.\n";

}  // namespace tandrel::support
