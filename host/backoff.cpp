#include "host/backoff.h"

#include <algorithm>
#include <limits>
#include <random>

namespace {
constexpr std::uint32_t max_u32 = std::numeric_limits<std::uint32_t>::max();

std::uint32_t saturating_add(std::uint32_t a, std::uint32_t b) {
    return b > max_u32 - a ? max_u32 : a + b;
}

std::uint32_t random_in(std::uint32_t lo, std::uint32_t hi) {
    // One engine per thread: no locking, no shared state between pollers.
    thread_local std::mt19937 engine{std::random_device{}()};
    return std::uniform_int_distribution<std::uint32_t>(lo, hi)(engine);
}
}  // namespace

Exponential_Backoff_Iterator::Exponential_Backoff_Iterator()
    : slot_time_(0),
      max_retries_(0),
      capped_(0),
      jitter_(false),
      value_(0),
      cumulation_(0),
      slot_time_exp_(0),
      i_(1)  // past the single attempt: end
{}

Exponential_Backoff_Iterator::Exponential_Backoff_Iterator(unsigned slot_time, unsigned max_retries,
                                                           unsigned capped, bool jitter)
    : slot_time_(slot_time),
      max_retries_(max_retries),
      capped_(capped),
      jitter_(jitter),
      value_(0),
      cumulation_(0),
      slot_time_exp_(0),
      i_(0) {
    slot_time_exp_ = std::min(slot_time_, limit());
    settle();
}

bool Exponential_Backoff_Iterator::at_end() const {
    return i_ >= std::max<std::uint32_t>(max_retries_, 1);
}

Exponential_Backoff_Iterator::value_type Exponential_Backoff_Iterator::limit() const {
    return capped_ ? capped_ : max_u32;
}

void Exponential_Backoff_Iterator::settle() {
    value_ = (jitter_ && slot_time_exp_ > 0) ? random_in(1, slot_time_exp_) : slot_time_exp_;
    cumulation_ = saturating_add(cumulation_, value_);
}

Exponential_Backoff_Iterator& Exponential_Backoff_Iterator::operator++() {
    if (at_end())
        return *this;
    ++i_;
    if (at_end())
        return *this;
    // Doubling by comparison rather than shifting: no overflow for any i.
    const std::uint32_t lim = limit();
    slot_time_exp_ = slot_time_exp_ > lim / 2 ? lim : slot_time_exp_ * 2;
    settle();
    return *this;
}

Exponential_Backoff_Iterator Exponential_Backoff_Iterator::operator++(int) {
    Exponential_Backoff_Iterator old = *this;
    ++*this;
    return old;
}

bool operator==(const Exponential_Backoff_Iterator& a, const Exponential_Backoff_Iterator& b) {
    const bool a_end = a.at_end();
    const bool b_end = b.at_end();
    if (a_end || b_end)
        return a_end == b_end;
    return a.i_ == b.i_;
}
