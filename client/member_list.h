// The members the client knows to be logged in, in the order the server
// listed them, later arrivals inserted by ID, and which of them the server
// last said are speaking. Holds no widget: the dialog rebuilds its list view
// from it after every change.
#pragma once

#include <string>
#include <vector>

class MemberList {
public:
    // Puts the member before the first entry with a greater ID (so after
    // entries with an equal one). An empty list stays empty: it is filled by
    // the next full list. True when the list changed.
    bool Insert(int id, const std::string& name);
    // Takes out the first entry with that ID. True when one was found.
    bool Remove(int id);
    // Becomes exactly the given entries (ids and names of equal length).
    void Replace(const std::vector<int>& ids, const std::vector<std::string>& names);
    // Empties the list and forgets the speakers.
    void Clear();
    // The IDs the server's last speaking list named. It marks members; it
    // never adds, removes or reorders them. True when the set changed.
    bool SetSpeakers(const std::vector<int>& ids);
    bool IsSpeaking(int id) const;

    int Count() const { return static_cast<int>(ids_.size()); }
    const std::vector<int>& Ids() const { return ids_; }
    const std::vector<std::string>& Names() const { return names_; }

private:
    std::vector<int> ids_;
    std::vector<std::string> names_;
    std::vector<int> speakers_;  // sorted
};
