// The unit ids of one run of a station: a label scanned twice is a mistake on the line, and the
// second unit must not be recorded under the first one's id.
#pragma once

#include <set>
#include <string>

class TUnitIdRegister {
public:
    // True for an id not used before in this run; it is then used.
    bool Claim(const std::string& id) { return ids_.insert(id).second; }
    bool Used(const std::string& id) const { return ids_.count(id) != 0; }

private:
    std::set<std::string> ids_;
};
