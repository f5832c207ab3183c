#ifndef QORM_DIRECTORY_ITERATOR_H
#define QORM_DIRECTORY_ITERATOR_H

#include <cstddef>
#include <iterator>
#include <memory>
#include <string>

#include "host/directory_reader.h"
#include "qorm/iterator_range.h"

template <class CharT>
struct Directory_Entry_T;

template <>
struct Directory_Entry_T<char> {
    std::string name;
    ACE_stat stat{};
    int reparse_types = 0;  // no reparse points here; kept for callers that read it
};

template <class CharT>
class Directory_Iterator_T;

// Single-pass iterator over a directory's entries, never "." or "..".
// Copies share one reader, so advancing one advances them all. A missing or
// unreadable directory, or a null or empty path, gives the end iterator at
// once. `flag` and `mask` go to Directory_Reader::open.
template <>
class Directory_Iterator_T<char> {
public:
    using value_type = Directory_Entry_T<char>;
    using difference_type = std::ptrdiff_t;
    using pointer = const value_type*;
    using reference = const value_type&;
    using iterator_category = std::input_iterator_tag;

    // End iterator.
    Directory_Iterator_T() = default;

    Directory_Iterator_T(const char* path, bool flag, int mask) {
        if (path == nullptr || *path == '\0')
            return;
        auto h = std::make_shared<handle_t>();
        if (h->reader_.open(path, flag, mask) != 0)
            return;
        if (h->reader_.read(h->val_.name, h->val_.stat) != 0) {
            if (h->reader_.last_error() != 0)
                return;
            h->finish();
        }
        handle_ = std::move(h);
    }

    reference operator*() const { return handle_->val_; }
    pointer operator->() const { return &handle_->val_; }

    Directory_Iterator_T& operator++() {
        if (handle_ && !handle_->done_ &&
            handle_->reader_.read(handle_->val_.name, handle_->val_.stat) != 0)
            handle_->finish();
        return *this;
    }

    // Copies share the reader, so the returned copy has moved on too.
    Directory_Iterator_T operator++(int) {
        Directory_Iterator_T old = *this;
        ++*this;
        return old;
    }

    friend bool operator==(const Directory_Iterator_T& a, const Directory_Iterator_T& b) {
        if (a.handle_ == b.handle_)
            return true;
        return a.done() && b.done();
    }
    friend bool operator!=(const Directory_Iterator_T& a, const Directory_Iterator_T& b) {
        return !(a == b);
    }

private:
    struct handle_t {
        Directory_Entry_T<char> val_;
        Directory_Reader reader_;
        bool done_ = false;

        // A finished iterator may linger; give the descriptor back now.
        void finish() {
            done_ = true;
            reader_.close();
        }
    };

    // The end iterator counts as done.
    bool done() const { return !handle_ || handle_->done_; }

    std::shared_ptr<handle_t> handle_;
};

using Directory_Entry = Directory_Entry_T<char>;
using Directory_Iterator = Directory_Iterator_T<char>;

inline Iterator_Range<Directory_Iterator> iterate_directory(const char* path, bool flag, int mask) {
    return {Directory_Iterator(path, flag, mask), Directory_Iterator()};
}

#endif
