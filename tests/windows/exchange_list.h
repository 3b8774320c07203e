// The backup list that the exchange fixtures hold: Windows paths as the
// window saves them, with letters outside ASCII, absent slots, an empty
// entry and one long enough for a two-byte length prefix.
#pragma once

#include <string>
#include <vector>

#include "listfile/listfile.h"

namespace tandrel::testing {

inline std::vector<ListEntry> ExchangeList()
{
    return {
        "C:\\Data\\Photos",
        "C:\\Docs\\a.txt",
        "C:\\b.txt",
        std::nullopt,
        "D:\\Fotos \xC3\x84hre \xE5\x86\x99\xE7\x9C\x9F",  // "Fotos Ähre 写真"
        "",
        std::nullopt,
        std::nullopt,
        "E:\\Archiv\\" + std::string(140, 'x') + "\\\xC3\xBC.txt",  // "ü.txt"
        "C:\\",
    };
}

}  // namespace tandrel::testing
