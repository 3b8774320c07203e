// The folders of a destination used last, held open, the most recent first:
// files come folder by folder, so a copy mostly finds its folder here. The
// caller guards it with its own lock.
#pragma once

#include <cstddef>
#include <list>
#include <string>

namespace tandrel {

template <class FolderRef>
class HeldFolders {
public:
    // The held folder whose path `matches` takes, made the most recent; null
    // when none is held.
    template <class Matches>
    FolderRef Find(Matches matches)
    {
        for (auto it = recent_.begin(); it != recent_.end(); ++it) {
            if (!matches((*it)->path)) continue;
            recent_.splice(recent_.begin(), recent_, it);
            return recent_.front();
        }
        return nullptr;
    }
    void Keep(FolderRef folder)
    {
        recent_.push_front(std::move(folder));
        if (recent_.size() > kMost) recent_.pop_back();
    }
    // Lets go of the held folders whose path `gone` takes.
    template <class Gone>
    void Forget(Gone gone)
    {
        recent_.remove_if([&](const FolderRef& held) { return gone(held->path); });
    }

private:
    static constexpr std::size_t kMost = 64;
    std::list<FolderRef> recent_;
};

}  // namespace tandrel
