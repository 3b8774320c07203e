// libFuzzer entry point for the list-file reader. Any bytes must give a list
// or a ListFileError; reading them from a stream and from a file must agree;
// and a list read must come back unchanged through the writer.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <sstream>

#include "listfile/listfile.h"

namespace {

std::optional<tandrel::BackupList> ReadStream(const std::string& bytes)
{
    std::istringstream in(bytes);
    try {
        return tandrel::Deserialize(in);
    } catch (const tandrel::ListFileError& e) {
        if (e.kind() != tandrel::ListFileError::Kind::Format) std::abort();
        return std::nullopt;
    }
}

// The same bytes through the file reader, from an in-memory file.
std::optional<tandrel::BackupList> ReadFile(const std::string& bytes)
{
    static const int fd = ::memfd_create("listfile-fuzz", 0);
    if (fd < 0 || ::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
        std::abort();
    }
    try {
        return tandrel::Deserialize("/proc/self/fd/" + std::to_string(fd));
    } catch (const tandrel::ListFileError& e) {
        if (e.kind() != tandrel::ListFileError::Kind::Format) std::abort();
        return std::nullopt;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::optional<tandrel::BackupList> list = ReadStream(bytes);
    const std::optional<tandrel::BackupList> fromFile = ReadFile(bytes);
    if (list.has_value() != fromFile.has_value() || (list && !(*list == *fromFile))) std::abort();
    if (!list) return 0;

    // Keep the round trip cheap: lists of little text only.
    if (list->PresentBytes() > (std::size_t(1) << 20)) return 0;
    std::ostringstream out;
    tandrel::Serialize(out, *list);
    const std::optional<tandrel::BackupList> again = ReadStream(out.str());
    if (!again || !(*again == *list)) std::abort();
    return 0;
}
