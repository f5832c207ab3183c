// Secrets, in a secure_string or inside a JSON value, leave no copy behind in
// memory that is given up.
#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "host/json_spirit/value.h"
#include "host/secure_memory.h"

using json_spirit::Value;

namespace {

bool all_zero(const void* p, size_t n) {
    const unsigned char* b = static_cast<const unsigned char*>(p);
    return std::all_of(b, b + n, [](unsigned char c) { return c == 0; });
}

// Room for one T whose bytes can be searched after it is gone.
template <class T>
struct Storage {
    alignas(T) unsigned char bytes[sizeof(T)];
    T* get() { return std::launder(reinterpret_cast<T*>(bytes)); }
    // Any three consecutive characters of text count: a library may clear the
    // first byte of a string it gives up and leave the rest.
    bool holds(const std::string& text) const {
        for (size_t i = 0; i + 3 <= text.size(); ++i)
            if (std::search(bytes, bytes + sizeof(bytes), text.begin() + i, text.begin() + i + 3) !=
                bytes + sizeof(bytes))
                return true;
        return false;
    }
};

const std::string kShort = "pw123";
const std::string kLong(100, 'S');

// Every block the secure allocator hands back to the heap, and whether it was
// zero by then.
std::vector<std::pair<size_t, bool>> g_freed;

class SecureFree : public ::testing::Test {
protected:
    void SetUp() override {
        g_freed.clear();
        set_secure_free_hook(
            [](const void* p, size_t n) { g_freed.emplace_back(n, all_zero(p, n)); });
    }
    void TearDown() override {
        set_secure_free_hook(nullptr);
        for (const auto& f : g_freed)
            EXPECT_TRUE(f.second) << "a freed block of " << f.first << " bytes still held data";
    }
};

TEST_F(SecureFree, DestroyReassignAndGrowFreeOnlyZeroedBlocks) {
    for (const std::string& text : {kShort, kLong}) {
        {
            secure_string s(text);
            secure_string copy(s);
            s = kLong + "x";  // grows past the old block
            copy = "other";   // shrinks in place
            copy += std::string(300, 'g');
            s = secure_string(kShort);
        }
        EXPECT_GE(g_freed.size(), 3u) << text.size();
    }
    { std::vector<int, secure_allocator<int>> v(10, -1); }  // the whole block, not 10 bytes
    EXPECT_EQ(g_freed.back().first, 10 * sizeof(int));
}

TEST(SecureString, ShrinkingAndClearingWipeTheUnusedBytes) {
    secure_string s(kLong);
    const size_t cap = s.capacity();
    s = "ab";
    ASSERT_EQ(s.capacity(), cap);  // reused in place, so the tail is still ours to read
    EXPECT_EQ(s, "ab");
    EXPECT_TRUE(all_zero(s.data() + 3, cap - 2));
    s = kLong;
    s.clear();
    EXPECT_TRUE(all_zero(s.data(), s.capacity() + 1)) << "clear()";
}

TEST(SecureString, AssignFromOwnTextSurvivesTheWipe) {
    secure_string s("0123456789");
    s.assign(s.data() + 2, 3);
    EXPECT_EQ(s, "234");
    secure_string u(kShort);
    u.assign(u.c_str());
    EXPECT_EQ(u, kShort);
}

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

    secure_string a(kShort), b(kLong);
    b = std::move(a);
    EXPECT_EQ(b, kShort);
    EXPECT_TRUE(a.empty());
    a = "again";
    EXPECT_EQ(a, "again");
}

// A short secret in a Value sits in the Value's own bytes (the std::string
// inline buffer).
TEST(JsonSecureValue, ShortSecretLeavesNothingInTheValue) {
    Storage<Value> st;
    new (st.bytes) Value(secure_string(kShort));
    ASSERT_TRUE(st.holds(kShort));  // otherwise the checks below prove nothing
    st.get()->~Value();
    EXPECT_FALSE(st.holds(kShort)) << "destroyed";

    new (st.bytes) Value(secure_string(kShort));
    *st.get() = Value(7);
    EXPECT_FALSE(st.holds(kShort)) << "reassigned";
    st.get()->~Value();

    new (st.bytes) Value(secure_string(kShort));
    Value taken(std::move(*st.get()));
    EXPECT_FALSE(st.holds(kShort)) << "moved from";
    EXPECT_EQ(taken.get_str(), kShort);
    st.get()->~Value();

    new (st.bytes) Value(secure_string(kShort));
    Value other(5);
    st.get()->swap(other);
    EXPECT_FALSE(st.holds(kShort)) << "swapped out";
    EXPECT_EQ(other.get_str(), kShort);
    st.get()->~Value();
}

// A long secret is on the std::allocator heap, whose frees cannot be watched;
// the wipe hook sees the block while it is still allocated.
const char* g_block = nullptr;
size_t g_size = 0;
bool g_wiped = false;

void watch(const Value& v) {
    g_block = v.get_str().data();
    g_size = v.get_str().capacity() + 1;
    g_wiped = false;
    set_secure_wipe_hook([](const void* p, size_t n) {
        if (p == g_block && n == g_size)
            g_wiped = all_zero(p, n);
    });
}

TEST(JsonSecureValue, LongSecretBufferIsWipedBeforeRelease) {
    const secure_string secret(kLong.c_str());
    Value v(secret);
    watch(v);
    v = Value(1);
    EXPECT_TRUE(g_wiped) << "reassigned";

    auto* p = new Value(secret);
    watch(*p);
    delete p;
    EXPECT_TRUE(g_wiped) << "destroyed";

    v = Value(secret);
    watch(v);
    v = Value(secure_string("other"));
    EXPECT_TRUE(g_wiped) << "move-assigned over";
    set_secure_wipe_hook(nullptr);

    secure_string pw("hunter2");
    Value from_rvalue(std::move(pw));
    EXPECT_TRUE(pw.empty()) << "building from an rvalue wipes the source";
    EXPECT_EQ(Value(from_rvalue).type(), json_spirit::secure_str_type);
}

}  // namespace
