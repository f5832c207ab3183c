// The module's exported parser creators, loaded the way the host loads them.
#include <dlfcn.h>

#include <string>

#include <gtest/gtest.h>

#include "host/job/job_object.h"
#include "host/json_spirit/json_io.h"
#include "smartx/job/job_object_text.h"

namespace {

typedef Object_Creator_T<YAJL_Handler>* (*Make_Creator)(Gobble_Function*);

class Exported_Creators : public ::testing::Test {
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

    // Parses text with a parser of the named creator and returns what the
    // built object generates.
    static json_spirit::Value parse(const std::string& name, const std::string& text) {
        Gobble_Function gobble = nullptr;
        Object_Creator_T<YAJL_Handler>* creator = factory(name)(&gobble);
        EXPECT_NE(nullptr, creator);
        EXPECT_EQ(destroyer(name), gobble);
        if (!creator)
            return json_spirit::Value("<no creator>");
        EXPECT_EQ(0, creator->init(0, nullptr));
        YAJL_Handler* handler = creator->create();
        EXPECT_NE(nullptr, handler);
        json_spirit::Value result("<no result>");
        std::string error;
        if (handler && handler->parse(text, &error)) {
            auto* parser = dynamic_cast<YAJL_Object_Parser*>(handler);
            EXPECT_NE(nullptr, parser);
            std::shared_ptr<Job_Object> obj = parser ? parser->shared_result() : nullptr;
            if (obj)
                result = generated_value(obj.get());
        } else {
            ADD_FAILURE() << error;
        }
        creator->destroy(handler);
        gobble(creator);
        return result;
    }

    static void* module_;
};

void* Exported_Creators::module_ = nullptr;

json_spirit::Value json(const std::string& text) {
    json_spirit::Value v;
    EXPECT_TRUE(json_spirit::read(text, v)) << text;
    return v;
}

TEST_F(Exported_Creators, BackupJobTexts) {
    EXPECT_EQ(json("{\"channels\": 64, \"exclusion\": [\"tmp-*\"], \"snapshot\": \"auto\", "
                   "\"zbs_block_size\": 524288}"),
              parse("Backup_Options",
                    "{\"channels\": 200, \"exclusion\": [\"tmp-*\"], \"snapshot\": \"auto\", "
                    "\"zbs_block_size\": 600000, \"unknown\": 1}"));
    const std::string source =
        "{\"id\": \"src-1\", \"name\": \"nightly\", \"entries\": [{\"id\": \"vm-1\", \"name\": "
        "\"web\", \"type\": "
        "\"VirtualMachine\"}, {\"id\": \"c-1\", \"name\": \"cluster\", \"type\": \"Cluster\"}]}";
    EXPECT_EQ(json(source), parse("Backup_Source", source));
}

TEST_F(Exported_Creators, RestoreJobTexts) {
    EXPECT_EQ(json("{\"parallel_vms\": 64, \"channels\": 8, \"duplicate_vm\": \"timestamp\", "
                   "\"start_vm\": true}"),
              parse("Restore_Options",
                    "{\"parallel_vms\": 100, \"channels\": 8, \"duplicate_vm\": \"timestamp\", "
                    "\"start_vm\": true, \"exclusion\": [\"a\"]}"));
    const std::string source =
        "{\"id\": \"r-1\", \"name\": \"restore\", \"entries\": [{\"catalog_uuid\": \"cat-1\", "
        "\"id\": \"vm-1\", "
        "\"target_vm_name\": \"web-restored\", \"cpu_cores\": 2, \"nics\": [], \"volumes\": []}]}";
    EXPECT_EQ(json(source), parse("Restore_Source", source));
}

TEST_F(Exported_Creators, SourceRecordTakesTheTopLevelIdAndName) {
    for (const char* name : {"Backup_Source", "Restore_Source"}) {
        Gobble_Function gobble = nullptr;
        Object_Creator_T<YAJL_Handler>* creator = factory(name)(&gobble);
        ASSERT_NE(nullptr, creator);
        YAJL_Handler* handler = creator->create();
        ASSERT_TRUE(handler->parse(
            "{\"entries\": [{\"id\": \"inner\", \"name\": \"inner\"}], \"id\": \"s\", "
            "\"name\": \"n\"}"));
        auto obj = dynamic_cast<YAJL_Object_Parser*>(handler)->shared_result();
        auto* source = dynamic_cast<Job_Source*>(obj.get());
        ASSERT_NE(nullptr, source);
        EXPECT_EQ("s", source->id());
        EXPECT_EQ("n", source->name());
        creator->destroy(handler);
        gobble(creator);
    }
}

TEST_F(Exported_Creators, NullDestroyerPointerAndNullObjects) {
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

TEST_F(Exported_Creators, EveryParseGetsAFreshObject) {
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
    // The objects outlive their parsers and the creator.
    EXPECT_EQ(json("{\"channels\": 2}"), generated_value(oa.get()));
    EXPECT_EQ(json("{\"channels\": 3}"), generated_value(ob.get()));
}

}  // namespace
