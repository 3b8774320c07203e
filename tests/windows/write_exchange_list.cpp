// Saves the exchange list as a list file, for the fixtures: built for Linux,
// it wrote fixtures/written-on-linux.lst; built for Windows and run under
// Wine, fixtures/written-on-windows.lst.
#include <iostream>

#include "tests/windows/exchange_list.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: write_exchange_list FILE.lst\n";
        return 2;
    }
    try {
        tandrel::Serialize(argv[1], tandrel::testing::ExchangeList());
    } catch (const std::exception& failure) {
        std::cerr << failure.what() << '\n';
        return 1;
    }
    return 0;
}
