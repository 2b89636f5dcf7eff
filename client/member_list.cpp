#include "client/member_list.h"

#include <algorithm>

bool MemberList::Insert(int id, const std::string& name) {
    if (ids_.empty()) return false;
    auto greater = std::find_if(ids_.begin(), ids_.end(), [id](int listed) { return listed > id; });
    auto index = greater - ids_.begin();
    ids_.insert(greater, id);
    names_.insert(names_.begin() + index, name);
    return true;
}

bool MemberList::Remove(int id) {
    auto found = std::find(ids_.begin(), ids_.end(), id);
    // An ID that is not listed changes nothing.
    if (found == ids_.end()) return false;
    auto index = found - ids_.begin();
    ids_.erase(found);
    names_.erase(names_.begin() + index);
    // A member who leaves speaks no more; whoever gets the ID next starts
    // unmarked.
    if (std::find(ids_.begin(), ids_.end(), id) == ids_.end()) {
        speakers_.erase(std::remove(speakers_.begin(), speakers_.end(), id), speakers_.end());
    }
    return true;
}

void MemberList::Replace(const std::vector<int>& ids, const std::vector<std::string>& names) {
    size_t n = std::min(ids.size(), names.size());
    ids_.assign(ids.begin(), ids.begin() + static_cast<std::ptrdiff_t>(n));
    names_.assign(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(n));
}

void MemberList::Clear() {
    ids_.clear();
    names_.clear();
    speakers_.clear();
}

bool MemberList::SetSpeakers(const std::vector<int>& ids) {
    std::vector<int> sorted = ids;
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    if (sorted == speakers_) return false;
    speakers_.swap(sorted);
    return true;
}

bool MemberList::IsSpeaking(int id) const { return std::binary_search(speakers_.begin(), speakers_.end(), id); }
