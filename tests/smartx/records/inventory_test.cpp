// Organization, datacenter, cluster, host and folder records.
#include "smartx/common/cluster.h"
#include "smartx/common/datacenter.h"
#include "smartx/common/folder.h"
#include "smartx/common/host.h"
#include "smartx/common/organization.h"

#include "record_test_support.h"

using namespace records_test;
using smartx::Cluster;
using smartx::Host;

namespace {

Object organization_body() {
    return body(
        R"({"id": "o1", "name": "org", "datacenters": [{"id": "d1", "name": "dc1"}, {"id": "d2", "name": "dc2"}]})");
}

Object datacenter_body() {
    return body(
        R"({"cluster_num": 2, "clusters": [{"id": "c1", "name": "cl1"}, {"id": "c2", "name": "cl2"}],
                    "id": "dc1", "labels": [{"id": "l1"}], "name": "DC",
                    "organization": {"id": "o1", "name": "org"}})");
}

Object cluster_body() {
    return body(
        R"({"connect_state": "CONNECTED", "datacenters": [{"id": "d1", "name": "dc"}], "host_num": 3,
                    "hosts": [{"id": "h1", "name": "n1", "management_ip": "10.0.0.1"},
                              {"id": "h2", "name": "n2", "management_ip": "10.0.0.2"}],
                    "id": "c1", "ip": "10.0.0.100", "labels": [{"id": "l1"}], "local_id": "lc1", "name": "cl",
                    "software_edition": "ENTERPRISE", "total_cpu_cores": 96, "total_cpu_hz": 230400000000,
                    "total_cpu_sockets": 6, "total_data_capacity": 48000000000000,
                    "total_memory_bytes": 1649267441664, "type": "SMTX_OS", "used_cpu_hz": 3000000000,
                    "used_data_space": 1099511627776, "used_memory_bytes": 274877906944,
                    "valid_data_space": 40000000000000, "vm_folders": [{"id": "f1", "name": "folder"}],
                    "vm_num": 12, "vm_templates": [{"id": "t1", "name": "tpl"}],
                    "vms": [{"id": "v1", "name": "vm1"}, {"id": "v2", "name": "vm2"}]})");
}

Object host_body() {
    return body(
        R"({"chunk_id": "1", "cluster": {"id": "c1", "name": "cl"}, "management_ip": "10.0.0.1",
                    "data_ip": "10.1.0.1", "total_cpu_cores": 32, "total_cpu_hz": 76800000000,
                    "total_cpu_sockets": 2, "used_cpu_hz": 1200000000, "total_memory_bytes": 549755813888,
                    "used_memory_bytes": 68719476736, "id": "h1", "labels": [{"id": "l1"}], "local_id": "lh1",
                    "name": "node1", "serial": "SN1", "state": "IN_USE", "status": "CONNECTED_HEALTHY",
                    "vms": [{"id": "v1", "name": "vm1"}]})");
}

Object folder_body() {
    return body(
        R"({"cluster": {"id": "c1", "name": "cl"}, "id": "f1", "local_id": "lf1", "name": "folder",
                    "vm_num": 1, "vms": [{"id": "v1", "name": "vm1"}]})");
}
}  // namespace

TEST(InventoryRecords, FaultyBodiesFailWithTheirMessages) {
    check_load_cases<smartx::Organization>(
        organization_body(),
        {
            {drop("id"), {"Failed to load organization, details: 'id' is expected as string.\n"}},
            {put("name", Value()),
             {"Failed to load organization, details: 'name' is expected as string.\n"}},
            {drop("datacenters"), {}},
            {put("datacenters.1", Object()),
             {"Failed to load Item_Identity from JSON: 'id' is expected as string\n",
              "Failed to load datacenters in organization.\n"}},
        });

    check_load_cases<smartx::Datacenter>(
        datacenter_body(),
        {
            {drop("id"), {"Failed to load datacenter, details: 'id' is expected as string.\n"}},
            {put("name", 5),
             {"Failed to load datacenter, details: 'name' is expected as string.\n"}},
            {put("cluster_num", "two"), {}},
            {put("cluster_num", HUGE_NUMBER), {}},
            {put("clusters", Value()), {}},
            {drop("clusters.1.name"), {ITEM_NAME, "Failed to load clusters in datacenter.\n"}},
            {put("labels.0", 7), {}},
            {put("labels.0.id", 3), {LABEL_ID, "Failed to load labels in datacenter.\n"}},
            {drop("organization"), {"Failed to load organization in datacenter.\n"}},
            {put("organization", Value()), {"Failed to load organization in datacenter.\n"}},
            {put("organization.name", Value()),
             {ITEM_NAME, "Failed to load organization in datacenter.\n"}},
        });

    check_load_cases<Cluster>(
        cluster_body(),
        {
            {drop("connect_state"),
             {"Failed to parse cluster, details: 'connect_state' is expected as string.\n"}},
            {put("id", Value()),
             {"Failed to parse cluster, details: 'id' is expected as string.\n"}},
            {drop("ip"), {"Failed to parse cluster, details: 'ip' is expected as string.\n"}},
            {put("type", true),
             {"Failed to parse cluster, details: 'type' is expected as string.\n"}},
            {drop("used_cpu_hz"),
             {"Failed to parse cluster, details: 'used_cpu_hz' is expected as number.\n"}},
            {put("used_cpu_hz", Value()),
             {"Failed to parse cluster, details: 'used_cpu_hz' is expected as number.\n"}},
            {put("used_cpu_hz", "3GHz"),
             {"Failed to parse cluster, details: 'used_cpu_hz' is expected as number.\n"}},
            {put("used_cpu_hz", HUGE_NUMBER), {}},
            {drop("local_id"), {}},
            {put("total_cpu_hz", "many"), {}},
            {put("host_num", HUGE_NUMBER), {}},
            {put("software_edition", Value()), {}},
            {drop("datacenters.0.name"), {ITEM_NAME, "Failed to parse datacenters in cluster.\n"}},
            {drop("hosts.1.management_ip"), {HOST_IP, "Failed to parse hosts in cluster.\n"}},
            {put("labels.0.id", Value()), {LABEL_ID, "Failed to parse labels in cluster.\n"}},
            {drop("vm_folders.0.name"), {ITEM_NAME, "Failed to parse VM folders in cluster.\n"}},
            {drop("vm_templates.0.name"),
             {ITEM_NAME, "Failed to parse VM templates in cluster.\n"}},
            {drop("vms.1.name"), {ITEM_NAME, "Failed to parse vms in cluster.\n"}},
            {put("vms", "none"), {}},
        });

    check_load_cases<Host>(
        host_body(),
        {
            {drop("chunk_id"),
             {"Failed to parse host, details: 'chunk_id' is expected as string.\n"}},
            {drop("total_cpu_hz"),
             {"Failed to parse host, details: 'total_cpu_hz' is expected as integer.\n"}},
            {put("total_cpu_cores", HUGE_NUMBER),
             {"Failed to parse host, details: 'total_cpu_cores' is expected as 32-bit integer.\n"}},
            {put("total_memory_bytes", HUGE_NUMBER),
             {"Failed to parse host, details: 'total_memory_bytes' is expected as integer.\n"}},
            {put("total_memory_bytes", Value()),
             {"Failed to parse host, details: 'total_memory_bytes' is expected as integer.\n"}},
            {drop("serial"), {"Failed to parse host, details: 'serial' is expected as string.\n"}},
            {put("status", 2),
             {"Failed to parse host, details: 'status' is expected as string.\n"}},
            {drop("total_cpu_sockets"), {}},
            {drop("used_cpu_hz"), {}},
            {put("used_cpu_hz", 2.5), {}},
            {drop("data_ip"), {}},
            {drop("cluster"), {"Failed to parse cluster in host.\n"}},
            {put("cluster", Value()), {"Failed to parse cluster in host.\n"}},
            {drop("cluster.name"), {ITEM_NAME, "Failed to parse cluster in host.\n"}},
            {put("labels.0", Object()), {LABEL_ID, "Failed to parse labels in host.\n"}},
            {drop("vms.0.name"), {ITEM_NAME, "Failed to parse VMs in host.\n"}},
        });

    check_load_cases<smartx::Folder>(
        folder_body(),
        {
            {drop("id"), {"Failed to load folder, details: 'id' is expected as string.\n"}},
            {put("name", Array()),
             {"Failed to load folder, details: 'name' is expected as string.\n"}},
            {put("vm_num", "one"), {}},
            {drop("cluster"), {}},
            {put("cluster", Value()), {}},
            {put("cluster.id", 1),
             {"Failed to load Item_Identity from JSON: 'id' is expected as string\n",
              "Failed to load cluster in folder.\n"}},
            {drop("vms.0.name"), {ITEM_NAME, "Failed to load VMs in folder.\n"}},
        });
}

TEST(InventoryRecords, LoadedValuesAndDefaults) {
    Log_Capture log;
    Cluster cluster;
    ASSERT_TRUE(cluster.load(cluster_body()));
    EXPECT_EQ(cluster.total_cpu_hz, 230400000000);
    EXPECT_EQ(cluster.used_cpu_hz, 3e9);
    EXPECT_EQ(cluster.hosts.at(1).management_ip, "10.0.0.2");
    EXPECT_EQ(cluster.vms.size(), 2u);

    // Above 2^63 the unsigned form still gives the number, never -1.
    Cluster huge;
    ASSERT_TRUE(huge.load(edited(cluster_body(), put("used_cpu_hz", HUGE_NUMBER))));
    EXPECT_EQ(huge.used_cpu_hz, 18446744073709551616.0);
    Cluster above_int;
    ASSERT_TRUE(above_int.load(edited(cluster_body(), put("used_cpu_hz", int64_t(5) << 31))));
    EXPECT_EQ(above_int.used_cpu_hz, 10737418240.0);

    // Optional keys absent or unreadable keep the defaults.
    Cluster sparse;
    ASSERT_TRUE(
        sparse.load(edited(edited(cluster_body(), drop("host_num")), put("total_cpu_hz", "many"))));
    EXPECT_EQ(sparse.host_num, -1);
    EXPECT_EQ(sparse.total_cpu_hz, -1);

    Host host;
    ASSERT_TRUE(host.load(host_body()));
    EXPECT_EQ(host.cpu_cores, 32);
    EXPECT_EQ(host.cpu_hz, 76800000000);
    EXPECT_EQ(host.memory_bytes, 549755813888);
    EXPECT_EQ(host.used_cpu_hz, 1.2e9);
    EXPECT_EQ(host.data_ip, "10.1.0.1");
    EXPECT_EQ(host.cluster.name, "cl");

    Host no_sockets;
    ASSERT_TRUE(no_sockets.load(
        edited(edited(host_body(), drop("total_cpu_sockets")), put("used_cpu_hz", 2.5))));
    EXPECT_EQ(no_sockets.cpu_sockets, -1);
    EXPECT_EQ(no_sockets.used_cpu_hz, -1.0);  // a fraction is not an integer

    smartx::Folder folder;
    ASSERT_TRUE(folder.load(body(R"({"id": "f", "name": "n", "cluster": null})")));
    EXPECT_EQ(folder.vm_num, -1);
    EXPECT_TRUE(folder.cluster.id.empty());
    EXPECT_TRUE(folder.cluster.name.empty());

    smartx::Datacenter dc;
    ASSERT_TRUE(dc.load(datacenter_body()));
    EXPECT_EQ(dc.cluster_num, 2);
    EXPECT_EQ(dc.organization.id, "o1");
    EXPECT_TRUE(log.lines().empty());

    // Lists are appended to: a second load doubles them.
    ASSERT_TRUE(dc.load(datacenter_body()));
    EXPECT_EQ(dc.clusters.size(), 4u);

    // The lists are read before the missing organization fails the load.
    smartx::Datacenter orphan;
    EXPECT_FALSE(orphan.load(edited(datacenter_body(), drop("organization"))));
    EXPECT_EQ(orphan.clusters.size(), 2u);
    EXPECT_EQ(orphan.labels.size(), 1u);
}

TEST(InventoryRecords, EnumerationGetters) {
    Cluster c;
    c.connect_state = "DISCONNECTED";
    c.software_edition = "TRIAL";
    c.type = "SMTX_ZBS";
    EXPECT_EQ(c.get_connect_state(), Cluster::Connect_State::DISCONNECTED);
    EXPECT_EQ(c.get_software_edition(), Cluster::Software_Edition::TRIAL);
    EXPECT_EQ(c.get_type(), Cluster::Type::SMTX_ZBS);
    c.connect_state = "connected";
    c.software_edition = "";
    c.type = "SMTX_OS ";
    EXPECT_EQ(c.get_connect_state(), Cluster::Connect_State::UNKNOWN);
    EXPECT_EQ(c.get_software_edition(), Cluster::Software_Edition::UNKNOWN);
    EXPECT_EQ(c.get_type(), Cluster::Type::UNKNOWN);

    Host h;
    h.state = "IN_USE";
    h.status = "SESSION_EXPIRED";
    EXPECT_EQ(h.get_state(), Host::State::IN_USE);
    EXPECT_EQ(static_cast<int>(h.get_state()), 2);
    EXPECT_EQ(h.get_status(), Host::Status::SESSION_EXPIRED);
    // The length takes part: a prefix or a longer name is not a match.
    for (const char* name : {"in_use", "IN_", "IN_USED", "", "IDLE\n"}) {
        h.state = name;
        EXPECT_EQ(h.get_state(), Host::State::UNKNOWN) << name;
    }
    h.status = "CONNECTED";
    EXPECT_EQ(h.get_status(), Host::Status::UNKNOWN);
}
