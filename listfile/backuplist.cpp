// The compact in-memory form of a list's slots.
#include <algorithm>

#include "listfile/listfile.h"

namespace tandrel {

BackupList::BackupList(const std::vector<std::string>& paths)
{
    CheckRoom(paths.size());
    Reserve(paths.size());
    for (const std::string& path : paths) AddPath(path);
}

BackupList::BackupList(const std::vector<ListEntry>& slots)
{
    CheckRoom(slots.size());
    for (const ListEntry& slot : slots) {
        if (slot) {
            AddPath(*slot);
        } else {
            AddAbsent(1);
        }
    }
}

void BackupList::CheckRoom(std::size_t slots) const
{
    if (slots > kMaxListSlots - size_) {
        throw std::length_error("a backup list holds at most 2147483647 entries");
    }
}

void BackupList::Reserve(std::size_t entries)
{
    texts_.reserve(texts_.size() + entries);
    entries_.reserve(entries_.size() + entries);
}

void BackupList::AddPath(std::string text)
{
    CheckRoom(1);
    presentBytes_ += text.size();
    texts_.push_back(std::move(text));
    entries_.push_back(Entry {static_cast<std::uint32_t>(size_), static_cast<std::uint32_t>(texts_.size() - 1)});
    ++size_;
}

void BackupList::AddRepeat(std::size_t entry)
{
    CheckRoom(1);
    const std::uint32_t text = entries_.at(entry).text;
    presentBytes_ += texts_[text].size();
    entries_.push_back(Entry {static_cast<std::uint32_t>(size_), text});
    ++size_;
}

void BackupList::AddAbsent(std::size_t count)
{
    CheckRoom(count);
    size_ += count;
}

ListEntry BackupList::At(std::size_t slot) const
{
    if (slot >= size_) throw std::out_of_range("no such slot in the backup list");
    const auto it = std::lower_bound(entries_.begin(), entries_.end(), slot,
                                     [](const Entry& e, std::size_t s) { return e.slot < s; });
    if (it == entries_.end() || it->slot != slot) return std::nullopt;
    return texts_[it->text];
}

std::vector<std::string> BackupList::PresentEntries() const&
{
    std::vector<std::string> out;
    out.reserve(entries_.size());
    for (const Entry& e : entries_) out.push_back(texts_[e.text]);
    return out;
}

std::vector<std::string> BackupList::PresentEntries() &&
{
    // Without repeats the texts are already one per entry, in slot order.
    if (texts_.size() == entries_.size()) {
        std::vector<std::string> out = std::move(texts_);
        *this = BackupList();
        return out;
    }
    return PresentEntries();
}

std::vector<ListEntry> BackupList::Slots() const
{
    std::vector<ListEntry> out(size_);
    for (const Entry& e : entries_) out[e.slot] = texts_[e.text];
    return out;
}

bool operator==(const BackupList& a, const BackupList& b)
{
    if (a.size_ != b.size_ || a.entries_.size() != b.entries_.size()) return false;
    for (std::size_t i = 0; i < a.entries_.size(); ++i) {
        if (a.entries_[i].slot != b.entries_[i].slot) return false;
        if (a.texts_[a.entries_[i].text] != b.texts_[b.entries_[i].text]) return false;
    }
    return true;
}

}  // namespace tandrel
