#include "engine/destinationmemory.h"

namespace tandrel {

namespace {

// One destination, however many separators its path ends with.
std::string Key(std::string destination)
{
    while (destination.size() > 1 && (destination.back() == '/' || destination.back() == '\\')) destination.pop_back();
    return destination;
}

}  // namespace

std::optional<std::string> DestinationMemory::MountPointOf(const std::string& destination) const
{
    return memory_.Get(Key(destination));
}

void DestinationMemory::Remember(const std::string& destination, const std::string& mountPoint)
{
    memory_.Set(Key(destination), mountPoint);
}

void DestinationMemory::Forget(const std::string& destination)
{
    memory_.Set(Key(destination), std::nullopt);
}

}  // namespace tandrel
