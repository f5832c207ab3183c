#ifndef QORM_ITERATOR_RANGE_H
#define QORM_ITERATOR_RANGE_H

#include <utility>

// A begin/end pair for range-for; smaller than pulling in Boost.Range.
template <class It>
class Iterator_Range {
public:
    Iterator_Range(It first, It last) : first_(std::move(first)), last_(std::move(last)) {}

    It begin() const { return first_; }
    It end() const { return last_; }
    bool empty() const { return first_ == last_; }

private:
    It first_;
    It last_;
};

#endif
