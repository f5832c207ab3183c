// A simulated CloudTower over the shared fixtures, with a logged-in client.
#ifndef TESTS_SIM_CLOUDTOWER_SIM_TEST_SUPPORT_H
#define TESTS_SIM_CLOUDTOWER_SIM_TEST_SUPPORT_H

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>

#include "host/json_spirit/json_io.h"
#include "sim/cloudtower/cloudtower_sim.h"
#include "support/temp_root.h"

namespace ct_test {

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

inline std::string fixtures_dir() {
    return std::string(TEST_SOURCE_DIR) + "/fixtures/cloudtower";
}

inline Value parse(const std::string& text) {
    Value v;
    std::string why;
    EXPECT_TRUE(json_spirit::read(text, v, &why)) << why << ": " << text.substr(0, 200);
    return v;
}

inline Value read_fixture(const std::string& name) {
    std::ifstream in(fixtures_dir() + "/" + name);
    std::ostringstream text;
    text << in.rdbuf();
    return parse(text.str());
}

// The string member, or "".
inline std::string str(const Value& v, const std::string& key) {
    const std::string* s =
        v.type() == json_spirit::obj_type ? json_spirit::object_get_str(v.get_obj(), key) : nullptr;
    return s ? *s : std::string();
}

inline const Value& member(const Object& o, const std::string& key) {
    const Value* m = json_spirit::object_get_value(o, key);
    return m ? *m : Value::null;
}

// The member, or null. The result refers into v: keep v alive while using it.
inline const Value& member(const Value& v, const std::string& key) {
    return v.type() == json_spirit::obj_type ? member(v.get_obj(), key) : Value::null;
}

// The record of kind in a fixture file with that name.
inline Object fixture_record(const std::string& kind, const std::string& name) {
    Value all = read_fixture(kind + ".json");
    for (const Value& v : all.get_array())
        if (str(v, "name") == name || str(v, "key") == name)
            return v.get_obj();
    ADD_FAILURE() << "no " << kind << " named " << name;
    return Object();
}

// The "id" of the fixture record of kind whose "name" or "key" is name.
inline std::string fixture_id(const std::string& kind, const std::string& name) {
    return str(fixture_record(kind, name), "id");
}

inline Object where_id(const std::string& id) {
    return Object{{"where", Value(Object{{"id", Value(id)}})}};
}

inline bool file_exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

inline bool write_at(const std::string& path, off_t offset, const std::string& data) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    return f.seekp(offset) && f.write(data.data(), data.size()) && f.flush();
}

inline std::string read_at(const std::string& path, off_t offset, size_t length) {
    std::string data(length, '\0');
    std::ifstream f(path, std::ios::binary);
    f.seekg(offset).read(&data[0], length);
    data.resize(static_cast<size_t>(f.gcount()));
    return data;
}

// Zeroed when there is no file.
inline struct stat stat_of(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        st = {};
    return st;
}

struct Reply {
    int status = 0;
    std::string body;
    std::string content_type;
    Value json;
};

class SimTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::cloudtower::Options options;
        options.inventory_file = fixtures_dir() + "/inventory.json";
        options.store_dir = root_.file("store");
        server_.reset(new sim::cloudtower::Server(options));
        std::string error;
        ASSERT_TRUE(server_->start(&error)) << error;
        client_.reset(new httplib::Client("127.0.0.1", server_->port()));
        token_ = login("admin", "admin123");
        ASSERT_FALSE(token_.empty());
    }

    void TearDown() override { server_->stop(); }

    Reply exchange(const std::string& method, const std::string& path, const std::string& body,
                   const std::string* token) {
        httplib::Headers headers;
        if (token)
            headers.emplace("Authorization", *token);
        httplib::Result r = method == "GET"
                                ? client_->Get(path.c_str(), headers)
                                : client_->Post(path.c_str(), headers, body, "application/json");
        Reply reply;
        if (!r) {
            ADD_FAILURE() << "no answer from " << path;
            return reply;
        }
        reply.status = r->status;
        reply.body = r->body;
        reply.content_type = r->get_header_value("Content-Type");
        if (reply.content_type.find("json") != std::string::npos)
            json_spirit::read(r->body, reply.json);
        return reply;
    }

    // An error answer with CloudTower's body: the status, the path and a message.
    static void expect_error(const Reply& r, int status, const std::string& name) {
        EXPECT_EQ(status, r.status);
        EXPECT_EQ(Value(status), member(r.json, "status"));
        EXPECT_EQ("/v2/api/" + name, str(r.json, "path"));
        EXPECT_FALSE(str(r.json, "message").empty());
    }

    Reply post_as(const std::string& name, const Value& body, const std::string* token) {
        return exchange("POST", "/v2/api/" + name, json_spirit::write(body), token);
    }
    Reply post(const std::string& name, const Value& body) { return post_as(name, body, &token_); }

    // The answer of a call that must succeed, as a list.
    Array list(const std::string& name, const Value& body = Object()) {
        Reply r = post(name, body);
        EXPECT_EQ(200, r.status) << name << ": " << r.body;
        return r.json.type() == json_spirit::array_type ? r.json.get_array() : Array();
    }

    Object one(const std::string& name, const std::string& id) {
        Array a = list(name, where_id(id));
        EXPECT_EQ(1u, a.size()) << name << " " << id;
        return a.empty() ? Object() : a[0].get_obj();
    }

    std::string login(const std::string& user, const std::string& password) {
        Object body{{"username", Value(user)}, {"password", Value(password)}};
        body["source"] = "LOCAL";
        Reply r = post_as("login", body, nullptr);
        return r.status == 200 ? str(member(r.json, "data"), "token") : std::string();
    }

    // Polls get-tasks until the task ends; the statuses seen, in order.
    std::vector<std::string> wait_task(const std::string& task_id, Object* last = nullptr) {
        std::vector<std::string> seen;
        for (int i = 0; i < 20; ++i) {
            Object task = one("get-tasks", task_id);
            seen.push_back(str(task, "status"));
            if (last)
                *last = task;
            if (seen.back() == "SUCCESSED" || seen.back() == "FAILED")
                break;
        }
        return seen;
    }

    // Runs a mutation that must start exactly one task; how the task ended.
    std::string run_one(const std::string& name, const Value& body, Object* task = nullptr) {
        Array answer = list(name, body);
        EXPECT_EQ(1u, answer.size()) << name;
        if (answer.empty())
            return std::string();
        std::vector<std::string> seen = wait_task(str(answer[0], "task_id"), task);
        return seen.empty() ? std::string() : seen.back();
    }

    std::string lun_file_of_volume(const std::string& volume_id) {
        Object vol = one("get-vm-volumes", volume_id);
        Object lun = one("get-iscsi-luns", str(member(vol, "lun"), "id"));
        return server_->volume_path(str(lun, "zbs_volume_id"));
    }

    Temp_Root root_;
    std::unique_ptr<sim::cloudtower::Server> server_;
    std::unique_ptr<httplib::Client> client_;
    std::string token_;
};

}  // namespace ct_test

#endif
