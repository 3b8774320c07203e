// What every platform's versions folder holds alike, so that a destination
// that backups from several systems write to stays one versions folder:
// the run folders' names, their marker and the README.
#pragma once

#include <cstdint>
#include <string>

namespace tandrel::versions {

// The file that marks a run folder as one a backup made.
inline constexpr const char* kRunMarker = ".tandrel-run";
inline constexpr const char* kReadme = "README.txt";
extern const char* const kReadmeText;

// The start of a run folder's name: 2026-12-09T12-08-41Z (no ':', which
// some file systems refuse), then "-2", "-3"... for runs of the same second.
std::string RunName(std::int64_t seconds);
// The run time (seconds since 1970, UTC) a run folder's name gives, or -1
// for a name of another shape.
std::int64_t RunTime(const std::string& name);

}  // namespace tandrel::versions
