// The unit ids of one run of a station: a label scanned twice is a mistake on the line, and the
// second unit must not be recorded under the first one's id. A unit that failed is the same unit
// when it goes back into its slot: it may be given its id once more.
#pragma once

#include <set>
#include <string>

class TUnitIdRegister {
public:
    enum class TClaim { Refused, First, Again };
    // First for an id not used before in this run (it is then used), Again for the id of a unit
    // that failed and comes back, Refused for any other id already given.
    TClaim Claim(const std::string& id) {
        if (failed_.erase(id)) return TClaim::Again;
        return ids_.insert(id).second ? TClaim::First : TClaim::Refused;
    }
    // The unit of `id` failed: its id may be claimed once more.
    void Failed(const std::string& id) {
        if (ids_.count(id)) failed_.insert(id);
    }
    // An id given for a unit that will not come under it (its port was removed): another unit may
    // take it.
    void Release(const std::string& id) {
        ids_.erase(id);
        failed_.erase(id);
    }
    void Clear() {
        ids_.clear();
        failed_.clear();
    }

private:
    std::set<std::string> ids_;
    std::set<std::string> failed_;
};

// What a station takes as a unit id, the same from a scanner line, a tile and a control request:
// at most 128 characters, every one of them printable. Invisible and line-breaking characters
// (U+200B, U+2028, a byte-order mark and the like) are refused too: a label carrying one would be
// a second id that looks the same as the first in every list. "" when `id` is taken, otherwise the
// sentence that says why not.
std::string UnitIdRefusal(const std::string& id);
