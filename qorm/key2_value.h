#ifndef QORM_KEY2_VALUE_H
#define QORM_KEY2_VALUE_H

#include <cstddef>
#include <cstring>

// One row of a constant name table. A table ends with exactly one row whose
// key is null and len 0; its value is what a failed lookup by name answers.
template <class V>
struct Key2_Value_T {
    const char* key;
    size_t len;
    V value;
};

// A row whose len is taken from the literal, so it can never disagree with key.
template <size_t N, class V>
constexpr Key2_Value_T<V> key2_value_row(const char (&key)[N], V value) {
    return Key2_Value_T<V>{key, N - 1, value};
}

template <class V>
constexpr Key2_Value_T<V> key2_value_end(V unknown) {
    return Key2_Value_T<V>{nullptr, 0, unknown};
}

namespace qorm_detail {
// The terminator is never compared: it is where every scan ends.
template <class V, class Match>
const Key2_Value_T<V>* scan_key_value_table(const Key2_Value_T<V>* row, Match match) {
    while (row->key != nullptr && !match(*row))
        ++row;
    return row;
}
}  // namespace qorm_detail

// The first row named exactly `name` (case-sensitive), else the terminator.
template <class V>
const Key2_Value_T<V>* get_key_value_entry(const Key2_Value_T<V>* table, const char* name) {
    return qorm_detail::scan_key_value_table(table, [name](const Key2_Value_T<V>& row) {
        return name != nullptr && std::strcmp(row.key, name) == 0;
    });
}

// The first row whose name is the n bytes at `name`, else the terminator.
template <class V>
const Key2_Value_T<V>* get_key_value_entry(const Key2_Value_T<V>* table, const char* name,
                                           size_t n) {
    return qorm_detail::scan_key_value_table(table, [name, n](const Key2_Value_T<V>& row) {
        return name != nullptr && row.len == n && std::strncmp(row.key, name, n) == 0;
    });
}

// The first row holding `value`, else the terminator, whose key is null.
template <class V>
const Key2_Value_T<V>* get_key_value_entry(const Key2_Value_T<V>* table, const V& value) {
    return qorm_detail::scan_key_value_table(
        table, [&value](const Key2_Value_T<V>& row) { return row.value == value; });
}

// Name to value: a miss gives the terminator's value.
template <class V>
V get_value_by_key(const Key2_Value_T<V>* table, const char* name) {
    return get_key_value_entry(table, name)->value;
}

// Value to name: a miss gives null.
template <class V>
const char* get_key_by_value(const Key2_Value_T<V>* table, const V& value) {
    return get_key_value_entry(table, value)->key;
}

#endif
