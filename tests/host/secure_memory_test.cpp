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

const std::string kShort = "pw123";
const std::string kLong(100, 'S');

bool all_zero(const void* p, size_t n) {
    const unsigned char* b = static_cast<const unsigned char*>(p);
    return std::all_of(b, b + n, [](unsigned char c) { return c == 0; });
}

// Room for one T whose own bytes can be searched, also after it is gone.
template <class T>
struct Storage {
    alignas(T) unsigned char bytes[sizeof(T)];
    T& make(T&& from) { return *new (bytes) T(std::move(from)); }
    T& get() { return *std::launder(reinterpret_cast<T*>(bytes)); }
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

// Every block the secure allocator gives back to the heap, and whether it was
// zero by then.
std::vector<std::pair<size_t, bool>> g_freed;

TEST(SecureString, FreedBlocksAndUnusedBytesAreWiped) {
    g_freed.clear();
    set_secure_free_hook([](const void* p, size_t n) { g_freed.emplace_back(n, all_zero(p, n)); });
    for (const std::string& text : {kShort, kLong}) {
        secure_string s(text);
        secure_string copy(s);
        s = kLong + "x";  // grows past the old block
        copy = "other";   // shrinks in place
        copy += std::string(300, 'g');
        s = secure_string(kShort);
    }
    { std::vector<int, secure_allocator<int>> v(10, -1); }  // the whole block, not 10 bytes
    set_secure_free_hook(nullptr);
    EXPECT_GE(g_freed.size(), 7u);
    EXPECT_EQ(g_freed.back().first, 10 * sizeof(int));
    for (const auto& f : g_freed)
        EXPECT_TRUE(f.second) << "a freed block of " << f.first << " bytes still held data";

    secure_string s(kLong);
    const size_t cap = s.capacity();
    s = "ab";
    ASSERT_EQ(s.capacity(), cap);  // reused in place, so the tail is still ours to read
    EXPECT_TRUE(all_zero(s.data() + 3, cap - 2)) << "shrunk";
    s = kLong;
    s.clear();
    EXPECT_TRUE(all_zero(s.data(), s.capacity() + 1)) << "clear()";

    s = "0123456789";
    s.assign(s.data() + 2, 3);  // from its own text: survives the wipe
    EXPECT_EQ(s, "234");
    s = kShort;
    s.assign(s.c_str());
    EXPECT_EQ(s, kShort);
}

// The object's own bytes are where the standard library keeps short strings.
TEST(SecureString, ShortTextNeverLivesInTheObject) {
    Storage<secure_string> st;
    st.make(secure_string(kShort));
    EXPECT_FALSE(st.holds(kShort));
    st.get().~secure_string();
    EXPECT_FALSE(st.holds(kShort));

    // A moved-from string that is used again must not fall back to inline storage.
    secure_string taken(std::move(st.make(secure_string(kShort))));
    EXPECT_EQ(taken, kShort);
    EXPECT_TRUE(st.get().empty());
    st.get() += "tok42";
    EXPECT_FALSE(st.holds("tok42"));
    st.get() = "again";
    st.get().shrink_to_fit();
    EXPECT_FALSE(st.holds("again"));
    st.get().~secure_string();
    EXPECT_FALSE(st.holds("tok42") || st.holds("again") || st.holds(kShort));
}

// A short secret in a Value sits in the Value's own bytes (the std::string
// inline buffer) until the Value gives it up.
TEST(JsonSecureValue, ShortSecretLeavesNothingInTheValue) {
    Storage<Value> st;
    ASSERT_TRUE((st.make(Value(secure_string(kShort))), st.holds(kShort)))
        << "otherwise the checks below prove nothing";
    st.get().~Value();
    EXPECT_FALSE(st.holds(kShort)) << "destroyed";
    st.make(Value(secure_string(kShort))) = Value(7);
    EXPECT_FALSE(st.holds(kShort)) << "reassigned";
    Value taken(std::move(st.make(Value(secure_string(kShort)))));
    EXPECT_FALSE(st.holds(kShort)) << "moved from";
    EXPECT_EQ(taken.get_str(), kShort);
    Value other(5);
    st.make(Value(secure_string(kShort))).swap(other);
    EXPECT_FALSE(st.holds(kShort)) << "swapped out";
    EXPECT_EQ(other.get_str(), kShort);
    st.get().~Value();
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
