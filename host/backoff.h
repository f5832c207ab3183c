#ifndef HOST_BACKOFF_H
#define HOST_BACKOFF_H

#include <cstddef>
#include <cstdint>
#include <iterator>

// Forward iterator over retry delays, in seconds.
//
// Delay i (from 0) is slot_time * 2^i, saturating at the cap: it never wraps
// and never exceeds the cap. A cap of 0 means no cap other than UINT32_MAX.
// With jitter, each delay is instead uniformly random in [1, that delay], so
// it is 0 only when slot_time is 0 (0 would turn a polling loop into a busy
// loop).
//
// The sequence yields exactly max(max_retries, 1) delays (there is always at
// least one attempt) and then compares equal to the default-constructed end
// iterator. Incrementing an end iterator has no effect.
class Exponential_Backoff_Iterator {
public:
    using value_type = std::uint32_t;
    using difference_type = std::ptrdiff_t;
    using pointer = const value_type*;
    using reference = const value_type&;
    using iterator_category = std::forward_iterator_tag;

    // End iterator.
    Exponential_Backoff_Iterator();
    Exponential_Backoff_Iterator(unsigned slot_time, unsigned max_retries, unsigned capped,
                                 bool jitter);

    reference operator*() const { return value_; }
    pointer operator->() const { return &value_; }

    Exponential_Backoff_Iterator& operator++();
    Exponential_Backoff_Iterator operator++(int);

    // Sum of the delays up to and including the current one (saturating).
    value_type cumulation() const { return cumulation_; }

    friend bool operator==(const Exponential_Backoff_Iterator& a,
                           const Exponential_Backoff_Iterator& b);
    friend bool operator!=(const Exponential_Backoff_Iterator& a,
                           const Exponential_Backoff_Iterator& b) {
        return !(a == b);
    }

private:
    bool at_end() const;
    value_type limit() const;
    void settle();

    std::uint32_t slot_time_;
    std::uint32_t max_retries_;
    std::uint32_t capped_;
    bool jitter_;

    std::uint32_t value_;          // current delay, jitter applied
    std::uint32_t cumulation_;     // sum of delays so far
    std::uint32_t slot_time_exp_;  // slot_time * 2^i, saturated
    std::uint32_t i_;              // index of the current delay
};

#endif
