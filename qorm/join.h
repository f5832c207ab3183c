// Writes a range to a stream, one separator between two elements.
#ifndef QORM_JOIN_H
#define QORM_JOIN_H

#include <iterator>

// In qorm rather than std: adding templates to namespace std is undefined.
namespace qorm {
template <class Iterator, class OStream, class Transform>
OStream& join_transform(Iterator first, Iterator last, OStream& os, char sep, Transform f) {
    for (bool first_one = true; first != last; ++first, first_one = false) {
        if (!first_one)
            os << sep;
        os << f(*first);
    }
    return os;
}

template <class Range, class OStream, class Transform>
OStream& join_transform(const Range& range, OStream& os, char sep, Transform f) {
    using std::begin;
    using std::end;
    return join_transform(begin(range), end(range), os, sep, f);
}
}  // namespace qorm

#endif
