#!/usr/bin/python3
"""Checks the simulated CloudTower against CloudTower's OpenAPI document.

Starts cloudtower-sim on port 0 over the shared fixtures, sends the requests
the module sends (bodies shaped as the module builds them), and validates
every answer against the document's response schema for its path: lists,
task answers, tasks while they run, error bodies. The fixture files are
validated too, and both fixtures and answers are checked for the keys the
module's records require.

Where the document and the module disagree, the simulator answers in the
document's shape and the module's behaviour is kept; each such difference is
noted where it is checked (see KNOWN_DIFFERENCES).

Exit status: 0 all good, 1 a check failed, 77 the document or jsonschema is
missing (the test is then skipped).
"""
import argparse
import json
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

try:
    from openapi_schema import Api
except ImportError:  # jsonschema is not installed
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    try:
        from openapi_schema import Api
    except ImportError as e:
        print("skipped: %s" % e)
        sys.exit(77)

# Differences between what the module sends or reads and the document. The
# simulator follows the module where the module is the client (paths and
# request bodies it sends) and the document for the shape of answers.
KNOWN_DIFFERENCES = {
    # The module lists data stores at /v2/api/get-data-stores; the 4.1.0
    # document publishes them as /get-elf-data-stores (ElfDataStore). The
    # simulator serves both with the same records.
    "get-data-stores": "served as /get-elf-data-stores",
    # The document's error body names the operation "operationName"; the
    # module's Error reads an optional "op", which therefore stays empty.
    "error-op": "ErrorBody has operationName, not op",
    # The document lists no 401 answer; a missing or refused token is
    # answered 401 with an ErrorBody, which the module decodes like any error.
    "401": "not in the document",
    # get-my-info has no security requirement in the document, but it answers
    # the user of the token, so the simulator asks for one.
    "get-my-info": "needs the token",
    # The module sends create-vm without "vm_disks" when a VM has no disk
    # (VmCreationParams requires it) and update-vm-basic-info's data with an
    # extra "vm_advanced_options" object; the simulator accepts both.
    "create-vm": "vm_disks may be absent",
    # Task "progress" is a number in the document; the module reads it as an
    # integer, so the simulator sends 0 and 1.
    "task-progress": "integers",
    # The module requires keys the document leaves optional (a host's
    # "serial", a cluster's "used_cpu_hz", a LUN snapshot's "iscsi_lun", a
    # frozen disk's "snapshot_local_id"): the simulator always sends them.
    "module-required": "always sent",
}

# Keys each record of the module must find, with their JSON types.
S, I, B, O, A, N = "string", "integer", "boolean", "object", "array", "number"
MODULE_KEYS = {
    "datacenters": {"id": S, "name": S, "organization": O},
    "clusters": {"connect_state": S, "id": S, "ip": S, "name": S, "type": S, "used_cpu_hz": I},
    "hosts": {"chunk_id": S, "cluster": O, "total_cpu_cores": I, "total_cpu_hz": I, "management_ip": S,
              "total_memory_bytes": I, "id": S, "local_id": S, "name": S, "serial": S, "state": S, "status": S},
    "vm_folders": {"id": S, "name": S},
    "vms": {"clock_offset": S, "cpu_model": S, "description": S, "firmware": S, "ha": B, "id": S,
            "in_recycle_bin": B, "local_id": S, "memory": I, "name": S, "node_ip": S, "status": S, "vcpu": I,
            "vm_tools_status": S, "win_opt": B},
    "vm_volumes": {"cluster": O, "elf_storage_policy": S, "id": S, "local_id": S, "mounting": B, "name": S,
                   "path": S, "sharing": B, "size": I},
    "vm_disks": {"boot": I, "bus": S, "id": S, "type": S, "vm": O},
    "vm_nics": {"id": S, "local_id": S, "vm": O},
    "vm_snapshots": {"id": S, "local_id": S, "name": S, "consistent_type": S, "cluster": O},
    "vm_volume_snapshots": {"cluster": O, "description": S, "elf_storage_policy": S, "id": S, "local_id": S,
                            "name": S, "type": S},
    "iscsi_luns": {"assigned_size": I, "id": S, "iscsi_target": O, "local_id": S, "lun_id": I, "name": S,
                   "replica_num": I, "shared_size": I, "thin_provision": B, "unique_size": I, "zbs_volume_id": S},
    "iscsi_lun_snapshots": {"id": S, "iscsi_lun": O, "iscsi_target": O, "local_created_at": S, "local_id": S,
                            "name": S, "unique_size": I},
    "labels": {"id": S, "key": S},
    "data_stores": {"cluster": O, "description": S, "external_use": B, "id": S, "internal": B, "local_id": S,
                    "name": S, "replica_num": I, "thin_provision": B, "type": S},
    "elf_storage_policies": {"id": S, "local_id": S, "name": S, "replica_num": I, "thin_provision": B},
    "vdses": {"cluster": O, "bond_mode": S, "id": S, "local_id": S, "name": S, "ovsbr_name": S, "type": S,
              "vlans_num": I, "internal": B},
    "vlans": {"id": S, "local_id": S, "name": S, "type": S, "vds": O, "vlan_id": I},
    "gpu_devices": {"brand": S, "bus_location": S, "description": S, "host": O, "id": S, "local_created_at": S,
                    "local_id": S, "model": S, "name": S, "status": S},
    "usb_devices": {"binded": B, "description": S, "host": O, "id": S, "local_created_at": S, "local_id": S,
                    "manufacturer": S, "name": S, "size": I, "status": S, "usb_type": S},
    "tasks": {"id": S, "progress": I, "status": S},
    "users": {"display_username": S, "id": S, "internal": B, "name": S, "source": S, "username": S},
    "user_roles": {"actions": A, "id": S, "name": S, "platform": S},
}
FROZEN_DISK_KEYS = {"boot": I, "bus": S, "index": I, "path": S, "size": I, "snapshot_local_id": S,
                    "storage_policy_uuid": S, "type": S, "vm_volume_local_id": S}

LIST_PATHS = {
    "organizations": "get-organizations", "datacenters": "get-datacenters", "clusters": "get-clusters",
    "hosts": "get-hosts", "vm_folders": "get-vm-folders", "vms": "get-vms", "vm_disks": "get-vm-disks",
    "vm_nics": "get-vm-nics", "vm_volumes": "get-vm-volumes", "vm_snapshots": "get-vm-snapshots",
    "vm_volume_snapshots": "get-vm-volume-snapshots", "iscsi_targets": "get-iscsi-targets",
    "iscsi_luns": "get-iscsi-luns", "iscsi_lun_snapshots": "get-iscsi-lun-snapshots", "labels": "get-labels",
    "data_stores": "get-data-stores", "elf_storage_policies": "get-elf-storage-policies", "vdses": "get-vdses",
    "vlans": "get-vlans", "gpu_devices": "get-gpu-devices", "usb_devices": "get-usb-devices",
    "user_roles": "get-user-role-nexts", "tasks": "get-tasks",
}


def json_type(v):
    if isinstance(v, bool):
        return B
    if isinstance(v, int):
        return I
    if isinstance(v, float):
        return N
    return {str: S, dict: O, list: A}.get(type(v), "null")


class Checker:
    def __init__(self, api):
        self.api = api
        self.failures = []
        self.checked = 0

    def fail(self, what):
        self.failures.append(what)
        print("FAIL: " + what)

    def expect(self, cond, what):
        if not cond:
            self.fail(what)
        return cond

    def conforms(self, schema, value, what):
        self.checked += 1
        for e in self.api.errors(schema, value)[:10]:
            self.fail("%s: %s" % (what, e))

    def doc_path(self, name):
        return "/get-elf-data-stores" if name == "get-data-stores" else "/" + name

    def answer(self, name, status, value, what=None):
        schema = self.api.response_schema(self.doc_path(name), status)
        self.conforms(schema, value, what or "%s %d answer" % (name, status))

    def request(self, name, body, allowed=()):
        """Checks a module-shaped body against the document's request schema;
        errors matching an allowed text are known differences."""
        path = self.doc_path(name)
        if "requestBody" not in self.api.operation(path):
            return
        for e in self.api.errors(self.api.request_schema(path), body):
            if not any(a in e for a in allowed):
                self.fail("%s request body: %s" % (name, e))

    def module_keys(self, kind, records, what):
        want = MODULE_KEYS.get(kind)
        if not want:
            return
        for i, rec in enumerate(records):
            for key, typ in want.items():
                got = json_type(rec.get(key))
                if got != typ:
                    self.fail("%s[%d] (%s): module needs %s %s, has %s" % (what, i, rec.get("id"), typ, key, got))
            if kind == "vm_snapshots":
                for j, disk in enumerate(rec.get("vm_disks", [])):
                    for key, typ in FROZEN_DISK_KEYS.items():
                        if json_type(disk.get(key)) != typ:
                            self.fail("%s[%d].vm_disks[%d]: module needs %s %s" % (what, i, j, typ, key))
            if kind == "clusters":
                for h in rec.get("hosts", []):
                    self.expect(json_type(h.get("management_ip")) == S, "%s[%d]: host without management_ip" % (what, i))


class Sim:
    def __init__(self, binary, inventory, store):
        self.proc = subprocess.Popen([binary, "--inventory", inventory, "--store", store, "--port", "0"],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        ready, _, _ = select.select([self.proc.stdout], [], [], 30)
        line = self.proc.stdout.readline().decode() if ready else ""
        if not line.startswith("listening on http://127.0.0.1:"):
            self.stop()
            raise RuntimeError("cloudtower-sim did not start: %r %s" % (line, self.proc.stderr.read().decode()))
        self.base = line.split()[-1]
        self.token = None

    def stop(self):
        """Stops the program; its exit status (0 after SIGTERM) and error output."""
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode, self.proc.stderr.read().decode()

    def call(self, method, path, body=None, token=True):
        data = None if body is None else json.dumps(body).encode()
        req = urllib.request.Request(self.base + path, data=data, method=method)
        req.add_header("Content-Type", "application/json; charset=utf-8")
        if token and self.token:
            req.add_header("Authorization", self.token)
        try:
            with urllib.request.urlopen(req, timeout=30) as r:
                status, headers, raw = r.status, r.headers, r.read()
        except urllib.error.HTTPError as e:
            status, headers, raw = e.code, e.headers, e.read()
        text = raw.decode()
        try:
            value = json.loads(text)
        except ValueError:
            value = None
        return status, headers, text, value

    def api(self, name, body=None, token=True):
        return self.call("POST", "/v2/api/" + name, {} if body is None else body, token)

    def admin(self, what, body=None):
        return self.call("POST", "/__sim/" + what, body or {}, False)


def by_name(records, name, key="name"):
    return next(r for r in records if r.get(key) == name)


def check_fixtures(c, fixtures):
    for kind, name in list(LIST_PATHS.items()) + [("users", None)]:
        with open(os.path.join(fixtures, kind + ".json")) as f:
            records = json.load(f)
        c.expect(records, "fixture %s is empty" % kind)
        if name:
            c.answer(name, 200, records, "fixture %s.json" % kind)
        else:
            c.conforms({"type": "array", "items": c.api.schema("User")}, records, "fixture users.json")
        c.module_keys(kind, records, "fixture " + kind)
    extra = {
        "login.json": ("login", 200),
        "version.json": None,
        "errors.json": None,
        "task_answers.json": None,
    }
    for file, how in extra.items():
        path = os.path.join(fixtures, file)
        if not c.expect(os.path.exists(path), "fixture %s is missing" % file):
            continue
        with open(path) as f:
            value = json.load(f)
        if file == "login.json":
            c.answer("login", 200, value, "fixture login.json")
        elif file == "version.json":
            c.conforms(c.api.response_schema("/get-version", 200, "get"), value, "fixture version.json")
        elif file == "errors.json":
            for i, e in enumerate(value):
                c.conforms(c.api.schema("ErrorBody"), e, "fixture errors.json[%d]" % i)
        else:
            for name, answer in value.items():
                c.answer(name, 200, answer, "fixture task_answers.json " + name)


def check_session(c, sim):
    # Version: a JSON string, no token needed.
    status, headers, text, value = sim.call("GET", "/v2/api/get-version", token=False)
    c.expect(status == 200 and text.startswith('"') and isinstance(value, str), "get-version: %s %r" % (status, text))
    c.expect(headers.get("Content-Type", "").startswith("application/json"), "get-version content type")
    c.conforms(c.api.response_schema("/get-version", 200, "get"), value, "get-version answer")

    # Errors before login: 401 has no schema in the document; its body is an ErrorBody.
    status, headers, _, value = sim.api("get-vms", {}, token=False)
    c.expect(status == 401, "get-vms without a token: %d" % status)
    c.conforms(c.api.schema("ErrorBody"), value, "401 error body")
    c.expect("op" not in value and "operationName" in value, "error body names the operation as the document does")
    c.expect(headers.get("x-tower-request-id"), "x-tower-request-id header")

    login = {"username": "admin", "password": "wrong", "source": "LOCAL"}
    c.request("login", login)
    status, _, _, value = sim.api("login", login, token=False)
    c.expect(status == 400, "bad login: %d" % status)
    c.answer("login", 400, value)
    login["password"] = "admin123"
    status, _, _, value = sim.api("login", login, token=False)
    c.expect(status == 200, "login: %d" % status)
    c.answer("login", 200, value)
    sim.token = value["data"]["token"]

    status, _, _, value = sim.api("get-my-info")
    c.expect(status == 200, "get-my-info: %d" % status)
    c.answer("get-my-info", 200, value)
    c.module_keys("users", [value], "get-my-info")

    status, _, _, value = sim.api("get-nothing")
    c.expect(status == 404, "unknown path: %d" % status)
    c.conforms(c.api.schema("ErrorBody"), value, "404 error body")
    status, _, _, value = sim.api("get-vms", {"where": {"id_in": "not a list"}})
    c.expect(status == 400, "malformed where: %d" % status)
    c.answer("get-vms", 400, value)
    sim.admin("error", {"path": "get-clusters", "status": 500, "message": "boom", "times": 1,
                        "extra": {"props": {"x": 1}, "stack": "Error: boom"}})
    status, _, _, value = sim.api("get-clusters")
    c.expect(status == 500, "error switch: %d" % status)
    c.answer("get-clusters", 500, value)


def query(c, sim, name, where=None, paged=True, allowed=()):
    body = {}
    if where is not None:
        body["where"] = where
    if paged:
        body["skip"], body["first"] = 0, 100
    c.request(name, body, allowed)
    status, _, _, value = sim.api(name, body)
    c.expect(status == 200, "%s %s: %d %s" % (name, json.dumps(body), status, value))
    if status == 200:
        c.answer(name, 200, value, "%s %s" % (name, json.dumps(where)))
    return value if status == 200 else []


def check_queries(c, sim, fx):
    """The queries of the module's inventory operations, one of each shape."""
    cluster_a = by_name(fx["clusters"], "cluster-hz-01")["id"]
    dc = fx["datacenters"][0]
    web = by_name(fx["vms"], "web-01")
    c.expect(len(query(c, sim, "get-datacenters")) == 1, "datacenters")
    query(c, sim, "get-datacenters", {"name_contains": "hz"})
    query(c, sim, "get-datacenters", {"id": dc["id"]}, paged=False)
    ids = [x["id"] for x in dc["clusters"]]
    c.expect(len(query(c, sim, "get-clusters", {"id_in": ids})) == 2, "clusters of the datacenter")
    c.expect(len(query(c, sim, "get-hosts", {"cluster": {"id": cluster_a}})) == 2, "hosts of cluster A")
    query(c, sim, "get-hosts", {"name_contains": "node"})
    query(c, sim, "get-vm-folders", {"cluster": {"id": cluster_a}})
    vms = query(c, sim, "get-vms", {"name_not": "CloudTower", "cluster": {"id_in": ids}})
    c.expect(len(vms) == 6 and all(v["name"] != "CloudTower" for v in vms), "VMs without CloudTower")
    query(c, sim, "get-vms", {"name_not": "CloudTower", "host": {"id": web["host"]["id"]}})
    query(c, sim, "get-vms", {"name_not": "CloudTower", "folder": {"id": web["folder"]["id"]}})
    query(c, sim, "get-vms", {"name": "CloudTower"}, paged=False)
    query(c, sim, "get-vm-snapshots", {"id": fx["vm_snapshots"][0]["id"]}, paged=False)
    disks = query(c, sim, "get-vm-disks", {"id_in": [d["id"] for d in web["vm_disks"]]})
    c.expect(len(disks) == 3, "disks of web-01")
    query(c, sim, "get-vm-disks", {"serial": disks[0]["serial"]}, paged=False)
    query(c, sim, "get-vm-nics", {"id_in": [n["id"] for n in web["vm_nics"]]})
    vol = fx["vm_volumes"][0]
    query(c, sim, "get-vm-volumes", {"id": vol["id"]}, paged=False)
    query(c, sim, "get-vm-volumes", {"local_id": vol["local_id"]}, paged=False)
    query(c, sim, "get-vm-volume-snapshots", {"id": fx["vm_volume_snapshots"][0]["id"]}, paged=False)
    query(c, sim, "get-iscsi-luns", {"id": fx["iscsi_luns"][0]["id"]}, paged=False)
    query(c, sim, "get-iscsi-lun-snapshots", {"name": fx["iscsi_lun_snapshots"][0]["name"]}, paged=False)
    labels = query(c, sim, "get-labels", {"key_not_starts_with": "system.cloudtower/"})
    c.expect(all(not l["key"].startswith("system.cloudtower/") for l in labels), "system labels hidden")
    query(c, sim, "get-labels", {"key_contains": "env", "key_not_starts_with": "system.cloudtower/"})
    query(c, sim, "get-labels", {"id": fx["labels"][0]["id"]}, paged=False)
    query(c, sim, "get-data-stores", {"cluster": {"id_in": ids}})
    query(c, sim, "get-elf-data-stores", {"name_contains": "nfs"})
    query(c, sim, "get-vlans", {"type": "VM", "name_not_contains": "internal"})
    query(c, sim, "get-vdses", {"type": "VM", "internal": False, "id": fx["vdses"][0]["id"]})
    query(c, sim, "get-gpu-devices", {"id_in": [g["id"] for g in web["gpu_devices"]]})
    query(c, sim, "get-usb-devices", {"id_in": [u["id"] for u in fx["usb_devices"]]})
    # The console's searches and the recovery views' listings.
    query(c, sim, "get-clusters")
    query(c, sim, "get-clusters", {"name_contains": "hz-0"})
    query(c, sim, "get-hosts")
    query(c, sim, "get-hosts", {"id": fx["hosts"][0]["id"]}, paged=False)
    query(c, sim, "get-vm-folders", {"name_contains": "prod"})
    query(c, sim, "get-vms", {"name_not": "CloudTower", "name_contains": "-0"})
    query(c, sim, "get-data-stores", {"name_contains": "nfs"})
    mgmt = by_name(fx["vdses"], "vds-mgmt")["id"]
    c.expect(query(c, sim, "get-vdses", {"type": "VM", "internal": False, "id": mgmt}) == [],
             "a management switch is no VM switch")
    policy = fx["elf_storage_policies"][0]
    query(c, sim, "get-elf-storage-policies", {"local_id_contains": policy["local_id"]}, paged=False)
    query(c, sim, "get-tasks", {"id": fx["tasks"][0]["id"]}, paged=False)
    query(c, sim, "get-user-role-nexts", {"id_in": [r["id"] for r in fx["users"][0]["roles"]]})
    query(c, sim, "get-organizations")
    query(c, sim, "get-iscsi-targets")


def mutate(c, sim, name, body, allowed=()):
    """Sends a mutation, validates its answer and every state of its tasks."""
    c.request(name, body, allowed)
    status, _, _, value = sim.api(name, body)
    if not c.expect(status == 200, "%s: %d %s" % (name, status, value)):
        return []
    c.answer(name, 200, value)
    for item in value:
        seen = []
        for _ in range(10):
            tasks = query(c, sim, "get-tasks", {"id": item["task_id"]}, paged=False)
            c.module_keys("tasks", tasks, "get-tasks during " + name)
            seen.append(tasks[0]["status"])
            if seen[-1] in ("SUCCESSED", "FAILED"):
                break
        c.expect(seen == ["PENDING", "EXECUTING", "SUCCESSED"], "%s task went %s" % (name, seen))
    return value


def bare_setting(setting):
    """A create-VM setting without disks and NICs."""
    out = dict(setting, vm_nics=[])
    out.pop("vm_disks", None)
    return out


def check_mutations(c, sim, fx):
    sim.admin("task-timing", {"pending_polls": 1, "executing_polls": 1})
    cluster_a = by_name(fx["clusters"], "cluster-hz-01")["id"]
    test = by_name(fx["vms"], "test-01")
    vlan = by_name(fx["vlans"], "vm-vlan-100")
    spare = by_name(fx["vm_volumes"], "spare-volume-a")
    volume = {"elf_storage_policy": "REPLICA_2_THIN_PROVISION", "size": 1 << 30, "sharing": False,
              "cluster_id": cluster_a, "name": "restored-volume"}
    new_volume = mutate(c, sim, "create-vm-volume", [volume])[0]["data"]
    mutate(c, sim, "create-vm-volume-snapshot", [{"volume_id": new_volume["id"], "description": "", "name": "s1"}])
    snap = mutate(c, sim, "create-vm-snapshot",
                  {"data": [{"name": "nightly", "vm_id": test["id"], "consistent_type": "CRASH_CONSISTENT"}]})
    # The module's create-vm body: basic settings only, new disks, NICs.
    setting = {"vcpu": 2, "status": "STOPPED", "firmware": "BIOS", "ha": True,
               "vm_disks": {"mount_new_create_disks": [{"vm_volume": {"elf_storage_policy": "REPLICA_2_THIN_PROVISION",
                                                                       "size": 1 << 30, "name": "new-system"},
                                                        "bus": "VIRTIO", "boot": 0}]},
               "memory": 2 << 30, "cpu_cores": 2, "cpu_sockets": 1, "name": "restored-vm", "cluster_id": cluster_a,
               "vm_nics": [{"connect_vlan_id": vlan["id"], "mirror": False, "model": "VIRTIO", "enabled": True}]}
    vm = mutate(c, sim, "create-vm", [setting])[0]["data"]
    # A restore's: the VM made on volumes created and written before.
    restored = mutate(c, sim, "create-vm-volume", [dict(volume, name="restored-disk")])[0]["data"]
    on_volumes = dict(bare_setting(setting), name="restored-on-volumes",
                      vm_disks={"mount_disks": [{"vm_volume_id": restored["id"], "bus": "VIRTIO", "boot": 0}]})
    restored_vm = mutate(c, sim, "create-vm", [on_volumes])[0]["data"]
    mutate(c, sim, "delete-vm", {"where": {"id": restored_vm["id"]}, "effect": {"include_snapshots": True}})
    bare = dict(setting, name="restored-bare", vm_nics=[])
    del bare["vm_disks"]
    mutate(c, sim, "create-vm", [bare], allowed=("'vm_disks' is a required property",))
    where = {"where": {"id": vm["id"]}}
    mutate(c, sim, "update-vm-advanced-options", dict(where, data={"windows_optimize": False, "video_type": "VGA"}))
    mutate(c, sim, "update-vm-basic-info",
           dict(where, data={"ha": True, "name": "restored-vm-2", "vm_advanced_options": {"windows_optimize": False}}))
    mutate(c, sim, "add-vm-disk", dict(where, data={"vm_disks": {"mount_disks": [
        {"vm_volume_id": spare["id"], "bus": "SCSI", "boot": 1}]}}))
    status, _, _, disks = sim.api("get-vm-disks", {"where": {"vm": {"id": vm["id"]}}})
    system = next(d for d in disks if d["boot"] == 0)
    added = next(d for d in disks if d["boot"] == 1)
    mutate(c, sim, "update-vm-disk", dict(where, data={"vm_disk_id": system["id"], "vm_volume_id": new_volume["id"]}))
    mutate(c, sim, "remove-vm-disk", dict(where, data={"disk_ids": [added["id"]]}))
    for op in ("start-vm", "suspend-vm", "resume-vm", "restart-vm", "force-restart-vm", "shutdown-vm", "start-vm",
               "poweroff-vm", "move-vm-to-recycle", "recover-vm-from-recycle"):
        mutate(c, sim, op, where)
    label = by_name(fx["labels"], "owner", "key")
    mutate(c, sim, "add-labels-to-resources", {"where": {"id": label["id"]}, "data": {"vms": {"id_in": [vm["id"]]}}})
    mutate(c, sim, "delete-vm-snapshot", {"where": {"id": snap[0]["data"]["id"]}})
    status, _, _, vsnaps = sim.api("get-vm-volume-snapshots", {"where": {"vm_volume": {"id": new_volume["id"]}}})
    mutate(c, sim, "delete-vm-volume-snapshot", {"where": {"id": vsnaps[0]["id"]}})
    mutate(c, sim, "delete-vm", dict(where, effect={"include_snapshots": True}))
    mutate(c, sim, "delete-vm-volume", {"where": {"id": new_volume["id"]}, "effect": {"include_snapshots": False}})

    # A failed task is a Task record too.
    sim.admin("fail-task", {"path": "start-vm", "message": "no host can run it", "times": 1})
    status, _, _, value = sim.api("start-vm", {"where": {"id": test["id"]}})
    for _ in range(5):
        tasks = query(c, sim, "get-tasks", {"id": value[0]["task_id"]}, paged=False)
        if tasks[0]["status"] == "FAILED":
            break
    c.expect(tasks[0]["status"] == "FAILED" and tasks[0]["error_message"] == "no host can run it", "failed task")
    sim.admin("reset")


def check_everything_listed(c, sim):
    """After the mutations, every record the simulator holds still conforms."""
    for kind, name in LIST_PATHS.items():
        status, _, _, value = sim.api(name, {})
        c.expect(status == 200, "%s: %d" % (name, status))
        c.answer(name, 200, value, "final " + name)
        c.module_keys(kind, value, "final " + name)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--sim", required=True)
    p.add_argument("--document", required=True)
    p.add_argument("--fixtures", required=True)
    args = p.parse_args()
    if not os.path.exists(args.document):
        print("skipped: no OpenAPI document at " + args.document)
        return 77
    with open(args.document) as f:
        c = Checker(Api(json.load(f)))

    check_fixtures(c, args.fixtures)
    fx = {}
    for kind in list(LIST_PATHS) + ["users"]:
        with open(os.path.join(args.fixtures, kind + ".json")) as f:
            fx[kind] = json.load(f)

    store = tempfile.mkdtemp(prefix="cloudtower-sim-")
    sim = None
    try:
        sim = Sim(args.sim, os.path.join(args.fixtures, "inventory.json"), store)
        check_session(c, sim)
        check_queries(c, sim, fx)
        check_mutations(c, sim, fx)
        check_everything_listed(c, sim)
    finally:
        if sim:
            code, errors = sim.stop()
            c.expect(code == 0, "cloudtower-sim exited %s: %s" % (code, errors[-2000:]))
        shutil.rmtree(store, ignore_errors=True)
    print("%d answers checked, %d failures" % (c.checked, len(c.failures)))
    return 1 if c.failures else 0


if __name__ == "__main__":
    sys.exit(main())
