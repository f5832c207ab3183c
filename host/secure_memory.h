#ifndef HOST_SECURE_MEMORY_H
#define HOST_SECURE_MEMORY_H

#include <cstddef>
#include <memory>
#include <string>
#include <type_traits>

// A memset the optimiser may not drop even when the memory is about to be freed.
void secure_memset(void* p, int c, size_t n);

// Test hooks. The free hook sees each secure_allocator block after its wipe and
// before it goes back to the heap; the wipe hook sees each secure_memset range
// right after it was written. Both are null by default.
void set_secure_free_hook(void (*hook)(const void* p, size_t n));
void set_secure_wipe_hook(void (*hook)(const void* p, size_t n));

namespace secure_memory_detail {
void notify_free(const void* p, size_t n) noexcept;
}

template <class T>
struct secure_allocator {
    typedef T value_type;
    typedef std::true_type propagate_on_container_move_assignment;
    typedef std::true_type is_always_equal;

    template <class U>
    struct rebind {
        typedef secure_allocator<U> other;
    };

    secure_allocator() noexcept = default;
    template <class U>
    secure_allocator(const secure_allocator<U>&) noexcept {}

    T* allocate(size_t n) { return std::allocator<T>().allocate(n); }

    void deallocate(T* p, size_t n) noexcept {
        secure_memset(p, 0, n * sizeof(T));
        secure_memory_detail::notify_free(p, n * sizeof(T));
        std::allocator<T>().deallocate(p, n);
    }
};

template <class T, class U>
bool operator==(const secure_allocator<T>&, const secure_allocator<U>&) noexcept {
    return true;
}
template <class T, class U>
bool operator!=(const secure_allocator<T>&, const secure_allocator<U>&) noexcept {
    return false;
}

// A string for passwords and tokens. Its text never sits in the inline
// (small-string) buffer: every constructor and assignment first reserves a
// heap block, so each copy of the text is in a block the allocator wipes
// before freeing. Growth through the inherited members (append, +=, insert,
// resize) is covered by the allocator as well.
class secure_string
    : public std::basic_string<char, std::char_traits<char>, secure_allocator<char>> {
public:
    typedef std::basic_string<char, std::char_traits<char>, secure_allocator<char>> base_type;

    secure_string();
    secure_string(const char* s);
    secure_string(const char* s, size_t n);
    secure_string(const std::string& s);
    secure_string(const secure_string& other);
    // Not noexcept: the source is handed a fresh heap block so that it keeps
    // the invariant above if it is reused.
    secure_string(secure_string&& other);
    ~secure_string();

    secure_string& operator=(const secure_string& other);
    secure_string& operator=(secure_string&& other);
    secure_string& operator=(const char* s);
    secure_string& operator=(const std::string& s);

    secure_string& assign(const char* s, size_t n);
    secure_string& assign(const char* s);
    secure_string& assign(const std::string& s);
    secure_string& assign(const secure_string& s);

    // Wipes the text before dropping it.
    void clear() noexcept;
    // The inherited one may move a short text into the inline buffer.
    void shrink_to_fit() noexcept {}

    std::string str() const { return std::string(data(), size()); }

private:
    void wipe() noexcept;
};

bool operator==(const secure_string& a, const secure_string& b) noexcept;
bool operator==(const secure_string& a, const std::string& b) noexcept;
bool operator==(const std::string& a, const secure_string& b) noexcept;
bool operator==(const secure_string& a, const char* b) noexcept;
bool operator==(const char* a, const secure_string& b) noexcept;
bool operator!=(const secure_string& a, const secure_string& b) noexcept;
bool operator!=(const secure_string& a, const std::string& b) noexcept;
bool operator!=(const std::string& a, const secure_string& b) noexcept;
bool operator!=(const secure_string& a, const char* b) noexcept;
bool operator!=(const char* a, const secure_string& b) noexcept;

// Key bytes. Heap blocks are wiped by the allocator; keys of 16 bytes or more
// never fit the inline buffer, so they only ever live in such blocks.
using secure_ustring = std::basic_string<unsigned char, std::char_traits<unsigned char>,
                                         secure_allocator<unsigned char>>;

#endif
