// Lazy filtered views of JSON arrays: `for (const Object& o : arr | get_obj)`
// visits the elements that are objects, in order, and skips the rest.
#ifndef JSON_SPIRIT_FILTER_H
#define JSON_SPIRIT_FILTER_H

#include <cstddef>
#include <iterator>
#include <string>
#include <type_traits>
#include <utility>

#include "host/json_spirit/value.h"

namespace json_spirit {

struct Type_Checker {
    Value_type type;

    bool operator()(const Value& v) const { return v.type() == type; }
};

struct Get_Object_Helper {
    const Object& operator()(const Value& v) const { return v.get_obj(); }
};

struct Get_Array_Helper {
    const Array& operator()(const Value& v) const { return v.get_array(); }
};

struct Get_String_Helper {
    const std::string& operator()(const Value& v) const { return v.get_str(); }
};

struct Get_Secure_String_Helper {
    secure_string operator()(const Value& v) const { return v.get_secure_str(); }
};

// Right operand of the array filter: which elements, and how each is seen.
template <class Pred, class Conv>
struct Pred_Conv_Pair {
    Pred pred;
    Conv conv;
};

template <class Pred, class Conv>
class Filtered_Array {
public:
    // Holds its own copy of the pair, so it stays valid without the range.
    class iterator {
    public:
        using reference = decltype(std::declval<const Conv&>()(std::declval<const Value&>()));
        using value_type = std::remove_cv_t<std::remove_reference_t<reference>>;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using iterator_category =
            std::conditional_t<std::is_reference_v<reference>, std::forward_iterator_tag,
                               std::input_iterator_tag>;

        iterator() = default;
        iterator(Array::const_iterator it, Array::const_iterator end,
                 const Pred_Conv_Pair<Pred, Conv>& pc)
            : it_(it), end_(end), pc_(pc) {
            skip();
        }

        reference operator*() const { return pc_.conv(*it_); }

        iterator& operator++() {
            ++it_;
            skip();
            return *this;
        }

        iterator operator++(int) {
            iterator old = *this;
            ++*this;
            return old;
        }

        bool operator==(const iterator& other) const { return it_ == other.it_; }
        bool operator!=(const iterator& other) const { return it_ != other.it_; }

    private:
        void skip() {
            while (it_ != end_ && !pc_.pred(*it_))
                ++it_;
        }

        Array::const_iterator it_{};
        Array::const_iterator end_{};
        Pred_Conv_Pair<Pred, Conv> pc_{};
    };

    using const_iterator = iterator;

    Filtered_Array(const Array& arr, const Pred_Conv_Pair<Pred, Conv>& pc) : arr_(arr), pc_(pc) {}

    iterator begin() const { return iterator(arr_.begin(), arr_.end(), pc_); }
    iterator end() const { return iterator(arr_.end(), arr_.end(), pc_); }
    bool empty() const { return begin() == end(); }

private:
    const Array& arr_;
    Pred_Conv_Pair<Pred, Conv> pc_;
};

template <class Pred, class Conv>
Filtered_Array<Pred, Conv> operator|(const Array& arr, const Pred_Conv_Pair<Pred, Conv>& pc) {
    return Filtered_Array<Pred, Conv>(arr, pc);
}

// The view refers to the array: filtering a temporary would dangle.
template <class Pred, class Conv>
void operator|(const Array&& arr, const Pred_Conv_Pair<Pred, Conv>& pc) = delete;

inline constexpr Pred_Conv_Pair<Type_Checker, Get_Object_Helper> get_obj{Type_Checker{obj_type},
                                                                         Get_Object_Helper{}};

inline constexpr Get_Object_Helper get_obj_helper{};
inline constexpr Get_Array_Helper get_array_helper{};
inline constexpr Get_String_Helper get_str_helper{};
inline constexpr Get_Secure_String_Helper get_secure_str_helper{};

}  // namespace json_spirit

#endif
