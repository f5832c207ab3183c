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

    // _make_SmartX_<name>_Parser_Creator or _gobble_...
    template <class T>
    static T symbol(const char* kind, const std::string& name) {
        const std::string s = std::string("_") + kind + "_SmartX_" + name + "_Parser_Creator";
        return reinterpret_cast<T>(dlsym(module_, s.c_str()));
    }

    static void* module_;
};

void* ExportedCreators::module_ = nullptr;

TEST_F(ExportedCreators, EachParsesItsTextIntoAFreshObjectAndSourcesNameTheirRecord) {
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
        Gobble_Function gobble = nullptr;
        Object_Creator_T<YAJL_Handler>* creator = symbol<Make_Creator>("make", r.creator)(&gobble);
        ASSERT_NE(nullptr, creator);
        EXPECT_EQ(symbol<Gobble_Function>("gobble", r.creator), gobble);
        EXPECT_EQ(0, creator->init(0, nullptr));
        YAJL_Handler* a = creator->create();
        YAJL_Handler* b = creator->create();
        ASSERT_TRUE(a && b);
        std::string error;
        ASSERT_TRUE(a->parse(r.text, &error)) << error;
        ASSERT_TRUE(b->parse("{}"));
        auto obj = dynamic_cast<YAJL_Object_Parser&>(*a).shared_result();
        auto other = dynamic_cast<YAJL_Object_Parser&>(*b).shared_result();
        creator->destroy(a);
        creator->destroy(b);
        creator->destroy(nullptr);
        gobble(creator);
        // The objects outlive their parsers and the creator.
        ASSERT_NE(nullptr, obj);
        EXPECT_NE(obj, other);
        EXPECT_EQ(json(r.expected ? r.expected : r.text), generated_value(obj.get()));
        if (auto* source = dynamic_cast<Job_Source*>(obj.get())) {
            const json_spirit::Value top = json(r.text);
            EXPECT_EQ(top.get_obj().at("id").get_str(), source->id());
            EXPECT_EQ(top.get_obj().at("name").get_str(), source->name());
        }
        // No place for the destroyer, and nothing to destroy.
        gobble(symbol<Make_Creator>("make", r.creator)(nullptr));
        gobble(nullptr);
    }
}

}  // namespace
