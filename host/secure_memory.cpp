#include "host/secure_memory.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string_view>

namespace {

typedef void (*Hook)(const void*, size_t);

std::atomic<Hook> g_free_hook{nullptr};
std::atomic<Hook> g_wipe_hook{nullptr};

// Smallest capacity that no longer fits the inline buffer.
size_t min_heap_capacity() {
    static const size_t n = std::max<size_t>(16, secure_string::base_type().capacity() + 1);
    return n;
}

std::string_view view(const secure_string& s) {
    return std::string_view(s.data(), s.size());
}

}  // namespace

void secure_memset(void* p, int c, size_t n) {
    if (p == nullptr || n == 0)
        return;
    std::memset(p, c, n);
    // The asm claims to read the memory, so the stores above stay live even
    // when the block is freed right after.
    __asm__ __volatile__("" : : "r"(p) : "memory");
    if (Hook hook = g_wipe_hook.load(std::memory_order_acquire))
        hook(p, n);
}

void set_secure_free_hook(void (*hook)(const void* p, size_t n)) {
    g_free_hook.store(hook, std::memory_order_release);
}

void set_secure_wipe_hook(void (*hook)(const void* p, size_t n)) {
    g_wipe_hook.store(hook, std::memory_order_release);
}

namespace secure_memory_detail {
void notify_free(const void* p, size_t n) noexcept {
    if (Hook hook = g_free_hook.load(std::memory_order_acquire))
        hook(p, n);
}
}  // namespace secure_memory_detail

secure_string::secure_string() {
    reserve(min_heap_capacity());
}

secure_string::secure_string(const char* s) : secure_string(s, s ? std::strlen(s) : 0) {}

secure_string::secure_string(const char* s, size_t n) {
    reserve(std::max(n, min_heap_capacity()));
    if (n)
        base_type::assign(s, n);
}

secure_string::secure_string(const std::string& s) : secure_string(s.data(), s.size()) {}

secure_string::secure_string(const secure_string& other)
    : secure_string(other.data(), other.size()) {}

secure_string::secure_string(secure_string&& other) : secure_string() {
    if (other.capacity() >= min_heap_capacity()) {
        base_type::swap(other);
    } else {
        base_type::assign(other.data(), other.size());
        other.clear();
    }
}

secure_string::~secure_string() {
    wipe();
}

void secure_string::wipe() noexcept {
    secure_memset(base_type::data(), 0, capacity() + 1);
}

void secure_string::clear() noexcept {
    wipe();
    base_type::clear();
}

secure_string& secure_string::assign(const char* s, size_t n) {
    if (n <= capacity() && capacity() >= min_heap_capacity()) {
        const size_t old_size = size();
        base_type::assign(s, n);  // in place; copes with s inside our own text
        if (old_size > n)
            secure_memset(base_type::data() + n + 1, 0, old_size - n);
    } else {
        secure_string fresh(s, n);  // copy first: s may point into our buffer
        wipe();
        base_type::swap(fresh);
    }
    return *this;
}

secure_string& secure_string::assign(const char* s) {
    return assign(s, s ? std::strlen(s) : 0);
}

secure_string& secure_string::assign(const std::string& s) {
    return assign(s.data(), s.size());
}

secure_string& secure_string::assign(const secure_string& s) {
    return this == &s ? *this : assign(s.data(), s.size());
}

secure_string& secure_string::operator=(const secure_string& other) {
    return assign(other);
}

secure_string& secure_string::operator=(secure_string&& other) {
    if (this == &other)
        return *this;
    if (capacity() >= min_heap_capacity() && other.capacity() >= min_heap_capacity()) {
        clear();
        base_type::swap(other);  // other gets our wiped, empty block
    } else {
        assign(other.data(), other.size());
        other.clear();
    }
    return *this;
}

secure_string& secure_string::operator=(const char* s) {
    return assign(s);
}

secure_string& secure_string::operator=(const std::string& s) {
    return assign(s);
}

bool operator==(const secure_string& a, const secure_string& b) noexcept {
    return view(a) == view(b);
}
bool operator==(const secure_string& a, const std::string& b) noexcept {
    return view(a) == std::string_view(b);
}
bool operator==(const std::string& a, const secure_string& b) noexcept {
    return b == a;
}
bool operator==(const secure_string& a, const char* b) noexcept {
    return b != nullptr && view(a) == std::string_view(b);
}
bool operator==(const char* a, const secure_string& b) noexcept {
    return b == a;
}
bool operator!=(const secure_string& a, const secure_string& b) noexcept {
    return !(a == b);
}
bool operator!=(const secure_string& a, const std::string& b) noexcept {
    return !(a == b);
}
bool operator!=(const std::string& a, const secure_string& b) noexcept {
    return !(a == b);
}
bool operator!=(const secure_string& a, const char* b) noexcept {
    return !(a == b);
}
bool operator!=(const char* a, const secure_string& b) noexcept {
    return !(a == b);
}
