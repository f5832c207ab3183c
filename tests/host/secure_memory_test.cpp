#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "host/secure_memory.h"

namespace {

struct Freed {
    size_t bytes;
    bool zeroed;
};

std::vector<Freed>* g_freed = nullptr;

void record_free(const void* p, size_t n) {
    const unsigned char* b = static_cast<const unsigned char*>(p);
    g_freed->push_back(Freed{n, std::all_of(b, b + n, [](unsigned char c) { return c == 0; })});
}

// Any three consecutive characters of text count: a library may clear the
// first byte of a string it gives up and leave the rest.
bool contains(const unsigned char* mem, size_t n, const std::string& text) {
    for (size_t i = 0; i + 3 <= text.size(); ++i)
        if (std::search(mem, mem + n, text.begin() + i, text.begin() + i + 3) != mem + n)
            return true;
    return false;
}

// Watches every block the secure allocator hands back to the heap.
class SecureFree : public ::testing::Test {
protected:
    void SetUp() override {
        g_freed = &freed_;
        set_secure_free_hook(record_free);
    }
    void TearDown() override {
        set_secure_free_hook(nullptr);
        g_freed = nullptr;
    }
    void expect_all_zeroed() {
        for (const Freed& f : freed_)
            EXPECT_TRUE(f.zeroed) << "a freed block of " << f.bytes << " bytes still held data";
    }
    std::vector<Freed> freed_;
};

const std::string kShort = "pw123";
const std::string kLong(100, 'S');

TEST_F(SecureFree, DestroyReassignAndGrowFreeOnlyZeroedBlocks) {
    for (const std::string& text : {kShort, kLong}) {
        freed_.clear();
        {
            secure_string s(text);
            secure_string copy(s);
            s = kLong + "x";  // grows past the old block
            copy = "other";   // shrinks in place
            copy += std::string(300, 'g');
            s = secure_string(kShort);
        }
        EXPECT_GE(freed_.size(), 3u) << text.size();
        expect_all_zeroed();
    }
}

TEST_F(SecureFree, AllocatorWipesWholeBlockForWiderTypes) {
    { std::vector<int, secure_allocator<int>> v(10, -1); }
    ASSERT_EQ(freed_.size(), 1u);
    EXPECT_EQ(freed_[0].bytes, 10 * sizeof(int));
    expect_all_zeroed();
}

TEST(SecureString, ShrinkingAndClearingWipeTheUnusedBytes) {
    secure_string s(kLong);
    const size_t cap = s.capacity();
    s = "ab";
    ASSERT_EQ(s.capacity(), cap);  // reused in place, so the tail is still ours to read
    const unsigned char* b = reinterpret_cast<const unsigned char*>(s.data());
    EXPECT_EQ(s, "ab");
    EXPECT_TRUE(std::all_of(b + 3, b + cap + 1, [](unsigned char c) { return c == 0; }));

    s = kLong;
    s.clear();
    b = reinterpret_cast<const unsigned char*>(s.data());
    EXPECT_TRUE(std::all_of(b, b + s.capacity() + 1, [](unsigned char c) { return c == 0; }))
        << "clear()";
}

TEST(SecureString, AssignFromOwnTextSurvivesTheWipe) {
    secure_string s("0123456789");
    s.assign(s.data() + 2, 3);
    EXPECT_EQ(s, "234");
    secure_string u(kShort);
    u.assign(u.c_str());
    EXPECT_EQ(u, kShort);
}

template <class T>
struct Storage {
    alignas(T) unsigned char bytes[sizeof(T)];
    T* get() { return std::launder(reinterpret_cast<T*>(bytes)); }
    bool holds(const std::string& text) const { return contains(bytes, sizeof(bytes), text); }
};

// The object's own bytes are where the standard library keeps short strings.
TEST(SecureString, ShortTextNeverLivesInTheObject) {
    Storage<secure_string> st;
    new (st.bytes) secure_string(kShort);
    EXPECT_FALSE(st.holds(kShort));
    st.get()->~secure_string();
    EXPECT_FALSE(st.holds(kShort));

    // A moved-from string that is used again must not fall back to inline storage.
    new (st.bytes) secure_string(kShort);
    secure_string taken(std::move(*st.get()));
    EXPECT_EQ(taken, kShort);
    *st.get() += "tok42";
    EXPECT_FALSE(st.holds("tok42"));
    st.get()->~secure_string();
    EXPECT_FALSE(st.holds("tok42"));
    EXPECT_FALSE(st.holds(kShort));

    new (st.bytes) secure_string();
    *st.get() = secure_string(kShort);
    st.get()->shrink_to_fit();
    EXPECT_FALSE(st.holds(kShort));
    st.get()->~secure_string();
}

TEST(SecureString, MoveAssignLeavesSourceEmptyAndReusable) {
    secure_string a(kShort), b(kLong);
    b = std::move(a);
    EXPECT_EQ(b, kShort);
    EXPECT_TRUE(a.empty());
    a = "again";
    EXPECT_EQ(a, "again");
}

}  // namespace
