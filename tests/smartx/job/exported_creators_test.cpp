// The module's exported parser creators, loaded the way the host loads them.
#include <dlfcn.h>

#include <string>

#include <gtest/gtest.h>

#include "host/job/job_object.h"
#include "host/json_spirit/json_io.h"
#include "smartx/job/job_object_text.h"

namespace {

typedef Object_Creator_T<YAJL_Handler>* (*Make_Creator)(Gobble_Function*);

json_spirit::Value json(const std::string& text) {
    json_spirit::Value v;
    EXPECT_TRUE(json_spirit::read(text, v)) << text;
    return v;
}

class ExportedCreators : public ::testing::Test {
protected:
    static void SetUpTestSuite() { module_ = dlopen(SMARTX_MODULE_PATH, RTLD_NOW | RTLD_LOCAL); }
    static void TearDownTestSuite() {
        if (module_)
            dlclose(module_);
        module_ = nullptr;
    }
    void SetUp() override { ASSERT_NE(nullptr, module_) << dlerror(); }

    static Make_Creator factory(const std::string& name) {
        return reinterpret_cast<Make_Creator>(
            dlsym(module_, ("_make_SmartX_" + name + "_Parser_Creator").c_str()));
    }
    static Gobble_Function destroyer(const std::string& name) {
        return reinterpret_cast<Gobble_Function>(
            dlsym(module_, ("_gobble_SmartX_" + name + "_Parser_Creator").c_str()));
    }

    // Parses text with a parser of the named creator; the built object, which
    // outlives its parser and the creator.
    static std::shared_ptr<Job_Object> parse(const std::string& name, const std::string& text) {
        Gobble_Function gobble = nullptr;
        Object_Creator_T<YAJL_Handler>* creator = factory(name)(&gobble);
        EXPECT_NE(nullptr, creator);
        EXPECT_EQ(destroyer(name), gobble);
        if (!creator)
            return nullptr;
        EXPECT_EQ(0, creator->init(0, nullptr));
        YAJL_Handler* handler = creator->create();
        EXPECT_NE(nullptr, handler);
        std::shared_ptr<Job_Object> obj;
        std::string error;
        if (handler && handler->parse(text, &error)) {
            auto* parser = dynamic_cast<YAJL_Object_Parser*>(handler);
            EXPECT_NE(nullptr, parser);
            obj = parser ? parser->shared_result() : nullptr;
        } else {
            ADD_FAILURE() << error;
        }
        creator->destroy(handler);
        gobble(creator);
        return obj;
    }

    static void* module_;
};

void* ExportedCreators::module_ = nullptr;

TEST_F(ExportedCreators, EachParsesItsTextAndSourcesNameTheirRecord) {
    const struct Row {
        const char* creator;
        const char* text;
        const char* expected;  // null: the text itself
    } rows[] = {
        {"Backup_Options",
         "{\"channels\": 200, \"exclusion\": [\"tmp-*\"], \"snapshot\": \"auto\", "
         "\"zbs_block_size\": 600000, \"unknown\": 1}",
         "{\"channels\": 64, \"exclusion\": [\"tmp-*\"], \"snapshot\": \"auto\", "
         "\"zbs_block_size\": 524288}"},
        {"Restore_Options",
         "{\"parallel_vms\": 100, \"channels\": 8, \"duplicate_vm\": \"timestamp\", "
         "\"start_vm\": true, \"exclusion\": [\"a\"]}",
         "{\"parallel_vms\": 64, \"channels\": 8, \"duplicate_vm\": \"timestamp\", "
         "\"start_vm\": true}"},
        {"Backup_Source",
         "{\"entries\": [{\"id\": \"vm-1\", \"name\": \"web\", \"type\": \"VirtualMachine\"}, "
         "{\"id\": \"c-1\", \"name\": \"cluster\", \"type\": \"Cluster\"}], \"id\": \"src-1\", "
         "\"name\": \"nightly\"}",
         nullptr},
        {"Restore_Source",
         "{\"id\": \"r-1\", \"name\": \"restore\", \"entries\": [{\"catalog_uuid\": \"cat-1\", "
         "\"id\": \"vm-1\", \"target_vm_name\": \"web-restored\", \"cpu_cores\": 2, \"nics\": [], "
         "\"volumes\": []}]}",
         nullptr},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.creator);
        std::shared_ptr<Job_Object> obj = parse(r.creator, r.text);
        ASSERT_NE(nullptr, obj);
        EXPECT_EQ(json(r.expected ? r.expected : r.text), generated_value(obj.get()));
        if (auto* source = dynamic_cast<Job_Source*>(obj.get())) {
            const json_spirit::Value top = json(r.text);
            EXPECT_EQ(top.get_obj().at("id").get_str(), source->id());
            EXPECT_EQ(top.get_obj().at("name").get_str(), source->name());
        }
    }
}

TEST_F(ExportedCreators, EveryParseGetsAFreshObject) {
    Gobble_Function gobble = nullptr;
    Object_Creator_T<YAJL_Handler>* creator = factory("Backup_Options")(&gobble);
    ASSERT_NE(nullptr, creator);
    YAJL_Handler* a = creator->create();
    YAJL_Handler* b = creator->create();
    ASSERT_TRUE(a->parse("{\"channels\": 2}"));
    ASSERT_TRUE(b->parse("{\"channels\": 3}"));
    auto oa = dynamic_cast<YAJL_Object_Parser*>(a)->shared_result();
    auto ob = dynamic_cast<YAJL_Object_Parser*>(b)->shared_result();
    creator->destroy(a);
    creator->destroy(b);
    gobble(creator);
    EXPECT_EQ(json("{\"channels\": 2}"), generated_value(oa.get()));
    EXPECT_EQ(json("{\"channels\": 3}"), generated_value(ob.get()));
}

TEST_F(ExportedCreators, NullDestroyerPointerAndNullObjects) {
    for (const char* name :
         {"Backup_Options", "Restore_Options", "Backup_Source", "Restore_Source"}) {
        SCOPED_TRACE(name);
        ASSERT_NE(nullptr, factory(name));
        ASSERT_NE(nullptr, destroyer(name));
        Object_Creator_T<YAJL_Handler>* creator = factory(name)(nullptr);
        ASSERT_NE(nullptr, creator);
        creator->destroy(nullptr);
        destroyer(name)(creator);
        destroyer(name)(nullptr);
    }
}

}  // namespace
