#include "engine/jobstate.h"

namespace tandrel {

SyncList::SyncList(std::shared_ptr<PathList>& list) : list_(list)
{
    list_ = std::make_shared<PathList>();
}

PathList& SyncList::Writable()
{
    if (list_.use_count() > 1) list_ = std::make_shared<PathList>(*list_);
    return *list_;
}

void SyncList::Add(std::string item)
{
    std::lock_guard lock(mutex_);
    Writable().push_back(std::move(item));
}

bool SyncList::AddRange(std::vector<std::string>&& items, std::uint64_t generation, std::atomic<std::int32_t>* counter)
{
    std::lock_guard lock(mutex_);
    if (generation != generation_) return false;
    if (counter) counter->fetch_add(static_cast<std::int32_t>(items.size()));
    Writable().append(items);
    return true;
}

void SyncList::Clear(std::atomic<std::int32_t>* counter)
{
    std::lock_guard lock(mutex_);
    if (list_.use_count() > 1)
        list_ = std::make_shared<PathList>();
    else
        list_->clear();
    if (counter) counter->store(0);
    ++generation_;
}

bool SyncList::Truncate(std::size_t size, std::uint64_t generation, std::atomic<std::int32_t>* counter,
                        std::int32_t count)
{
    std::lock_guard lock(mutex_);
    if (generation != generation_) return false;
    if (list_->size() > size) Writable().truncate(size);
    if (counter) counter->store(count);
    return true;
}

bool SyncList::AddToCounter(std::uint64_t generation, std::atomic<std::int32_t>& counter, std::int32_t n)
{
    std::lock_guard lock(mutex_);
    if (generation != generation_) return false;
    counter.fetch_add(n);
    return true;
}

std::size_t SyncList::Count() const
{
    std::lock_guard lock(mutex_);
    return list_->size();
}

bool SyncList::TryAt(std::size_t index, std::uint64_t generation, std::string& out) const
{
    std::lock_guard lock(mutex_);
    if (generation != generation_ || index >= list_->size()) return false;
    list_->Get(index, out);
    return true;
}

std::vector<std::string> SyncList::ToArray() const
{
    std::lock_guard lock(mutex_);
    return list_->ToStrings();
}

std::shared_ptr<const PathList> SyncList::Snapshot() const
{
    std::lock_guard lock(mutex_);
    return list_;
}

std::uint64_t SyncList::Generation() const
{
    std::lock_guard lock(mutex_);
    return generation_;
}

JobState::JobState() : syncfileList(fileList), syncfolderList(folderList) {}

void JobState::ResetLists()
{
    syncfileList.Clear(&fileCount);
    syncfolderList.Clear(&folderCount);
}

}  // namespace tandrel
