// Map lookup that names the missing key in its exception.
#ifndef QORM_MAP_AT_H
#define QORM_MAP_AT_H

#include <stdexcept>
#include <string>
#include <type_traits>

namespace qorm_detail {
template <class K>
std::string key_text(const K& key) {
    if constexpr (std::is_constructible_v<std::string, const K&>)
        return std::string(key);
    else if constexpr (std::is_arithmetic_v<K>)
        return std::to_string(key);
    else
        return "?";
}
}  // namespace qorm_detail

// Throws std::out_of_range("No key '<key>' in map") on a miss.
template <class Map, class Key>
auto map_at(Map& m, const Key& key) -> decltype((m.find(key)->second)) {
    auto it = m.find(key);
    if (it == m.end())
        throw std::out_of_range("No key '" + qorm_detail::key_text(key) + "' in map");
    return it->second;
}

#endif
