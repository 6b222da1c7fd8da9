#pragma once

// Translation of the English counter paths of the registered counters into
// the language of the running system, through the published English name
// table and the performance-data name lookup.

#include <cstdint>
#include <map>
#include <string>

namespace Telvar {

// Names match without regard to case, as the system's own look-up does.
struct NameLess {
    bool operator()(const std::string& a, const std::string& b) const;
};
using EnglishNameIndex = std::map<std::string, uint32_t, NameLess>;

// The raw English name table, embedded NULs included.
bool readEnglishNames(std::string& table);
// Fills index from the table; a repeated name keeps its first number. Always true.
bool buildEnglishNameIndex(const std::string& table, EnglishNameIndex& index);
// Sets the localized path of every registered counter that can be translated.
bool mapCountersCurrentLanguage(const EnglishNameIndex& index);
// The three steps above; false when the table cannot be read or memory runs out.
bool localizeCounters();

} // namespace Telvar
