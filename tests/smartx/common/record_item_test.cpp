#include "smartx/common/item.h"

#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace json_spirit;
using smartx::Host_Identity;
using smartx::Identity;
using smartx::Item_Identity;
using smartx::Item_Label;

namespace {
// A full record that loads from an object, beside the value-loading references.
struct Volume {
    std::string id;
    std::string local_id;
    long size = -1;

    bool load(const Object& obj) {
        return smartx::try_load("Failed to parse VM volume, details: %s.\n", [&] {
            extract_or_throw(obj)("id", id, true)("local_id", local_id, true)("size", size, false);
        });
    }
    Object dump() const {
        return Object_Maker()("id", id)("local_id", local_id)("size", size).get_obj();
    }
};

Value identity(const char* id, const char* name) {
    return Object_Maker()("id", id)("name", name);
}
}  // namespace

TEST(ReferenceRecords, ItemIdentityLoadsFromAValueHoldingAnObject) {
    Log_Capture log;
    Item_Identity item;
    EXPECT_TRUE(item.load(identity("c1", "cluster")));
    EXPECT_EQ(item.id, "c1");
    EXPECT_EQ(item.name, "cluster");
    EXPECT_FALSE(item.empty());
    EXPECT_EQ(item.dump(), identity("c1", "cluster").get_obj());
    EXPECT_TRUE(log.lines().empty());

    // "id" read before the failing "name" stays.
    Item_Identity partial;
    EXPECT_FALSE(partial.load(Object_Maker()("id", "x")("name", 5)));
    EXPECT_EQ(partial.id, "x");
    EXPECT_FALSE(partial.load(Value("not an object")));
    ASSERT_EQ(log.lines().size(), 2u);
    EXPECT_EQ(log.lines()[0].priority, LM_ERROR);
    EXPECT_EQ(log.lines()[0].text,
              "Failed to load Item_Identity from JSON: 'name' is expected as string\n");
    EXPECT_EQ(log.lines()[1].text.rfind("Failed to load Item_Identity from JSON: ", 0), 0u);
}

TEST(ReferenceRecords, ItemIdentityIsEmptyWhenEitherPartIs) {
    Item_Identity item;
    EXPECT_TRUE(item.empty());
    ASSERT_TRUE(item.load(identity("a", "")));
    EXPECT_TRUE(item.empty());
    item = Item_Identity{"", "n"};
    EXPECT_TRUE(item.empty());
    item = Item_Identity{"a", "n"};
    item.clear();
    EXPECT_TRUE(item.id.empty() && item.name.empty());
}

TEST(ReferenceRecords, HostIdentityLabelAndIdentity) {
    Log_Capture log;
    Host_Identity host;
    EXPECT_TRUE(host.load(Object_Maker()("id", "h")("name", "n")("management_ip", "10.0.0.1")));
    EXPECT_EQ(host.dump(),
              (Object_Maker()("id", "h")("name", "n")("management_ip", "10.0.0.1").get_obj()));
    EXPECT_FALSE(Host_Identity().load(identity("h", "n")));

    Item_Label label;
    EXPECT_TRUE(label.load(Object_Maker()("id", "l")));
    EXPECT_EQ(label.dump(), Object_Maker()("id", "l").get_obj());
    EXPECT_FALSE(Item_Label().load(Object_Maker()("id", 1)));

    Identity ident;
    EXPECT_TRUE(ident.load(Object_Maker()("id", "i").get_obj()));
    EXPECT_EQ(ident.id, "i");
    EXPECT_FALSE(Identity().load(Object()));

    EXPECT_EQ(log.texts(),
              (std::vector<std::string>{
                  "Failed to load Host_Identity from JSON: 'management_ip' is expected as string\n",
                  "Failed to load Item_Label from JSON: 'id' is expected as string\n",
                  "Failed to parse identity, details: 'id' is expected as string.\n"}));
}

TEST(NestedItem, AbsentOrNullCountsAsAbsentAndMistypedFails) {
    Log_Capture log;
    const Object obj =
        Object_Maker()("null", Value())("str", "x")("ok", identity("c", "n")).get_obj();
    Item_Identity item{"keep", "me"};
    for (const char* key : {"absent", "null"}) {
        EXPECT_TRUE(smartx::load_item_in_object(obj, key, item, false)) << key;
        EXPECT_FALSE(smartx::load_item_in_object(obj, key, item, true)) << key;
        EXPECT_EQ(item.id, "keep");
    }
    // A missing part has no message of its own: the record that holds it logs.
    EXPECT_TRUE(log.lines().empty());

    // A part that is there but not an object is broken, not missing.
    EXPECT_FALSE(smartx::load_item_in_object(obj, "str", item, false));
    ASSERT_EQ(1u, log.lines().size());
    EXPECT_EQ(0u, log.lines()[0].text.find("Failed to load Item_Identity from JSON: "))
        << log.lines()[0].text;
    EXPECT_EQ(item.id, "keep");
    log.clear();

    EXPECT_TRUE(smartx::load_item_in_object(obj, "ok", item, true));
    EXPECT_EQ(item.id, "c");

    Volume volume;
    EXPECT_TRUE(smartx::load_item_in_object(obj, "str", volume, false));
    EXPECT_FALSE(smartx::load_item_in_object(obj, "ok", volume, false));
    EXPECT_EQ(log.texts(),
              std::vector<std::string>{
                  "Failed to parse VM volume, details: 'local_id' is expected as string.\n"});
}

TEST(ItemList, LoadsOnlyObjectsAndAppends) {
    Log_Capture log;
    const Object obj =
        Object_Maker()("labels", Array{Value(1), Object_Maker()("id", "a"), Value("s"), Value(),
                                       Object_Maker()("id", "b")})
            .get_obj();
    std::vector<Item_Label> labels;
    ASSERT_TRUE(smartx::load_items_in_object(obj, "labels", labels, true));
    ASSERT_EQ(labels.size(), 2u);
    EXPECT_EQ(labels[1].id, "b");

    // Loading again appends: the vector is never cleared.
    ASSERT_TRUE(smartx::load_items_in_object(obj, "labels", labels, true));
    EXPECT_EQ(labels.size(), 4u);
    EXPECT_EQ(labels[2].id, "a");
    EXPECT_TRUE(log.lines().empty());
}

TEST(ItemList, AbsentNullOrMistypedListIsAbsent) {
    Log_Capture log;
    const Object obj =
        Object_Maker()("null", Value())("obj", Object_Maker()("id_in", Array())).get_obj();
    std::vector<Item_Label> labels{Item_Label{"old"}};
    for (const char* key : {"absent", "null", "obj"}) {
        EXPECT_TRUE(smartx::load_items_in_object(obj, key, labels, false)) << key;
        EXPECT_FALSE(smartx::load_items_in_object(obj, key, labels, true)) << key;
    }
    EXPECT_EQ(labels.size(), 1u);
    EXPECT_TRUE(log.lines().empty());
}

TEST(ItemList, StopsAtTheFirstFailureAndKeepsWhatCameBefore) {
    Log_Capture log;
    const Object obj =
        Object_Maker()("hosts",
                       Array{Object_Maker()("id", "h1")("name", "a")("management_ip", "1.1.1.1"),
                             Object_Maker()("id", "h2")("name", "b"),
                             Object_Maker()("id", "h3")("name", "c")("management_ip", "3.3.3.3")})
            .get_obj();
    std::vector<Host_Identity> hosts;
    EXPECT_FALSE(smartx::load_items_in_object(obj, "hosts", hosts, false));
    ASSERT_EQ(hosts.size(), 1u);
    EXPECT_EQ(hosts[0].id, "h1");
    EXPECT_EQ(
        log.texts(),
        std::vector<std::string>{
            "Failed to load Host_Identity from JSON: 'management_ip' is expected as string\n"});
}

TEST(ItemsOrIds, BareReferencesKeepOnlyTheirId) {
    Log_Capture log;
    const Object obj =
        Object_Maker()("vm_volumes", Array{Object_Maker()("id", "x"),
                                           Object_Maker()("id", "y")("local_id", "ly")("size", 7L)})
            .get_obj();
    std::vector<Volume> volumes;
    ASSERT_TRUE(smartx::load_items_or_ids_in_object(obj, "vm_volumes", "local_id", volumes, true));
    ASSERT_EQ(volumes.size(), 2u);
    EXPECT_EQ(volumes[0].id, "x");
    EXPECT_EQ(volumes[0].local_id, "");
    EXPECT_EQ(volumes[0].size, -1);
    EXPECT_EQ(volumes[1].local_id, "ly");
    EXPECT_EQ(volumes[1].size, 7);
    EXPECT_TRUE(log.lines().empty());
}

TEST(ItemsOrIds, AnElementWithoutIdOrWithABadFullRecordFails) {
    Log_Capture log;
    const Object no_id =
        Object_Maker()("vms", Array{Object_Maker()("id", "a"), Object_Maker()("name", "y")})
            .get_obj();
    std::vector<Volume> volumes;
    EXPECT_FALSE(smartx::load_items_or_ids_in_object(no_id, "vms", "local_id", volumes, false));
    EXPECT_EQ(volumes.size(), 1u);

    // The full key of any type marks a full record, which then must load.
    const Object bad_full =
        Object_Maker()("vms", Array{Object_Maker()("id", "z")("local_id", Value())}).get_obj();
    EXPECT_FALSE(smartx::load_items_or_ids_in_object(bad_full, "vms", "local_id", volumes, false));
    EXPECT_EQ(volumes.size(), 1u);

    EXPECT_EQ(log.texts(),
              (std::vector<std::string>{
                  "Failed to parse one 'id' of items vms, details: 'id' is expected as string.\n",
                  "Failed to parse VM volume, details: 'local_id' is expected as string.\n"}));
}

TEST(ItemOrId, OneReferenceOrOneFullRecord) {
    Log_Capture log;
    const Object obj =
        Object_Maker()("bare", Object_Maker()("id", "b"))(
            "full", Object_Maker()("id", "f")("local_id", "lf"))("no_id", Object_Maker()("size", 1))
            .get_obj();
    Volume bare, full, broken;
    EXPECT_TRUE(smartx::load_item_or_id_in_object(obj, "bare", "local_id", bare, true));
    EXPECT_EQ(bare.id, "b");
    EXPECT_EQ(bare.local_id, "");
    EXPECT_TRUE(smartx::load_item_or_id_in_object(obj, "full", "local_id", full, true));
    EXPECT_EQ(full.local_id, "lf");
    EXPECT_TRUE(smartx::load_item_or_id_in_object(obj, "absent", "local_id", broken, false));
    EXPECT_FALSE(smartx::load_item_or_id_in_object(obj, "absent", "local_id", broken, true));
    EXPECT_TRUE(log.lines().empty());

    EXPECT_FALSE(smartx::load_item_or_id_in_object(obj, "no_id", "local_id", broken, false));
    EXPECT_EQ(
        log.texts(),
        std::vector<std::string>{
            "Failed to parse the 'id' of item no_id, details: 'id' is expected as string.\n"});
}

TEST(ItemDump, ItemsAndIdsInOrder) {
    const std::vector<Item_Identity> items{{"a", "x"}, {"b", "y"}};
    EXPECT_EQ(smartx::dump_items(items), (Array{identity("a", "x"), identity("b", "y")}));
    EXPECT_EQ(smartx::dump_item_ids(items), (Array{Value("a"), Value("b")}));
    EXPECT_TRUE(smartx::dump_items(std::vector<Item_Label>{}).empty());
}
