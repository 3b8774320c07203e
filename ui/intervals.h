// The texts of the interval box and the waits they stand for, in the box's
// order; a text is compared whole.
#pragma once

#include <array>
#include <utility>

namespace tandrel::ui {

inline constexpr std::array<std::pair<const char*, int>, 4> kIntervals {{
    {"10 Minutes", 600000},
    {"20 Minutes", 1200000},
    {"2 Hours", 7200000},
    {"8 Hours", 28800000},
}};

}  // namespace tandrel::ui
