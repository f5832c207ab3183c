#include "smartx/job/utils.h"

#include <ace/Log_Msg.h>
#include <ace/OS_NS_stdlib.h>
#include <ace/Process.h>

#include <cstring>
#include <ctime>
#include <exception>
#include <iterator>
#include <stdexcept>
#include <vector>

#include "host/catalog.h"
#include "host/cgi_response.h"
#include "host/host_manager.h"
#include "host/http_client.h"
#include "host/json_record.h"
#include "host/paths.h"
#include "host/smartx_backup_set.h"
#include "qorm/check.h"
#include "qorm/http_encode.h"
#include "smartx/common/connect_params.h"
#include "smartx/zbs/zbs_wrapper.h"

namespace smartx {
namespace {
// The servant configuration the starter program reads (unresolved: the host
// resolves $COMPONENT and the root).
const char* const SERVANT_CONFIG_DIR = "/etc/opt/velmora/tarnvik3/$COMPONENT/servant";
const char* const SERVANT_CONFIG_NAME = "svc.conf";
const char* const STARTER_PROGRAM = "starter";
const char* const SERVANT_CONFIG_SUBDIR = "smartx";
const char* const ZBS_LIBRARY_ROOT = "/opt/velmora/tarnvik3/zbs";

// A servant name becomes a process argument and a log prefix: printable
// text only.
bool is_valid_servant_name(const std::string& name) {
    if (name.empty())
        return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7f)
            return false;
    return true;
}

const char* const CATALOG_NAME = "smartx";
const char* const RESOURCES_PATH = "/zq/r/v2/resources";
const char* const PROTECTED_FLAG = "protected";

// The optional "aggregates": objects only, each a folder or a tag.
void read_aggregates(const json_spirit::Object& row,
                     std::vector<SmartX_Backup_Set::Aggregate_Info>& out) {
    json_record::read_records(
        row, "aggregates", out,
        [](SmartX_Backup_Set::Aggregate_Info& info, const json_spirit::Object& element) {
            if (!info.load(element))
                throw std::runtime_error("Failed to load Aggregate_Info from JSON Object.");
        });
}

// The device lists, folders and tags and the description a VM's row carries
// besides its base members; all but the texts and the three info objects
// are optional. False when an info object does not load; throws on any
// other missing or mistyped member.
bool read_vm_part(const json_spirit::Object& row, SmartX_Backup_Set& set) {
    using json_spirit::object_get_object_or_throw;
    using json_spirit::object_get_str_or_throw;
    set.vm_id = object_get_str_or_throw(row, "vm_id");
    set.vm_name = object_get_str_or_throw(row, "vm_name");
    set.cluster_id = object_get_str_or_throw(row, "cluster_id");
    set.owner_host_id = object_get_str_or_throw(row, "owner_host_id");
    set.owner_host_ip = object_get_str_or_throw(row, "owner_host_ip");
    set.owner_host_name = object_get_str_or_throw(row, "owner_host_name");
    const json_spirit::Object& base = object_get_object_or_throw(row, "base_info");
    const json_spirit::Object& cpu = object_get_object_or_throw(row, "cpu_info");
    const json_spirit::Object& mem = object_get_object_or_throw(row, "mem_info");
    if (!set.base_info.load(base) || !set.cpu_info.load(cpu) || !set.mem_info.load(mem))
        return false;
    json_record::read_optional(row, "snap_id", set.snap_id);
    read_aggregates(row, set.aggregates);
    json_record::read_optional(row, "nics", set.nics);
    json_record::read_optional(row, "usbs", set.usbs);
    json_record::read_optional(row, "cdroms", set.cdroms);
    json_record::read_optional(row, "floppys", set.floppys);
    json_record::read_optional(row, "boot_devices", set.boot_devices);
    json_record::read_optional(row, "gpus", set.gpus);
    json_record::read_optional(row, "vm_extended_attrs", set.vm_extended_attrs);
    return true;
}

// True when some row of a resources answer carries the flag; throws on an
// answer of another shape.
bool has_flag(const json_spirit::Value& answer, const std::string& flag) {
    if (answer.type() != json_spirit::obj_type)
        throw json_spirit::Json_Error("answer", "object");
    for (const json_spirit::Value& row :
         json_spirit::object_get_array_or_throw(answer.get_obj(), "rows")) {
        if (row.type() != json_spirit::obj_type)
            throw json_spirit::Json_Error("rows", "array of objects");
        for (const json_spirit::Value& f :
             json_spirit::object_get_array_or_throw(row.get_obj(), "flags")) {
            if (f.type() != json_spirit::str_type)
                throw json_spirit::Json_Error("flags", "array of strings");
            if (f.get_str() == flag)
                return true;
        }
    }
    return false;
}
}  // namespace

bool init_servant(Servant& servant, const std::string& servant_name, const std::string& zbs_version,
                  const Log_Msg_Callback& log_callback) {
    if (!is_valid_servant_name(servant_name)) {
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Refused servant name '%C'.\n"), servant_name.c_str()),
                         false);
    }
    // The version names a directory on the library path: nothing may lead out
    // of the ZBS library root or split the path list.
    if (!is_valid_zbs_version(zbs_version.c_str())) {
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Refused zbs version '%C' for servant %C.\n"),
                          zbs_version.c_str(), servant_name.c_str()),
                         false);
    }
    std::string config = SERVANT_CONFIG_DIR;
    config.append("/").append(SERVANT_CONFIG_SUBDIR).append("/").append(SERVANT_CONFIG_NAME);
    if (servant.reset(STARTER_PROGRAM, config.c_str(), nullptr, nullptr, servant_name.c_str()) !=
        0) {
        ACE_ERROR_RETURN(
            (LM_ERROR, ACE_TEXT("Failed to reset servant %C.\n"), servant_name.c_str()), false);
    }
    ACE_Process_Options& options = servant.get_process_options();

    const char* inherited = ACE_OS::getenv("LD_LIBRARY_PATH");
    if (inherited == nullptr || *inherited == 0)
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to get env value LD_LIBRARY_PATH.\n")), false);
    const std::string zbs_dir = host_path(ZBS_LIBRARY_ROOT) + "/" + zbs_version;
    options.setenv(ACE_TEXT("LD_LIBRARY_PATH"), ACE_TEXT("%s:%s"), zbs_dir.c_str(), inherited);

    if (log_callback)
        servant.set_log_msg_callback(log_callback);

    // The engine's own ZBS_* environment first: what it hands on is otherwise
    // the defaults, whatever the operator set.
    Smartx_Connect_Params* zbs = Smartx_Connect_Params::instance();
    QORM_CHECK_NOT_NULL_RETURN(zbs, false);
    zbs->update();
    options.setenv(ACE_TEXT("ZBS_TIMEOUT"), ACE_TEXT("%u"), zbs->zbs_timeout);
    options.setenv(ACE_TEXT("ZBS_INITIAL_INTERVAL"), ACE_TEXT("%u"), zbs->zbs_initial_interval);
    options.setenv(ACE_TEXT("ZBS_MAX_INTERVAL"), ACE_TEXT("%u"), zbs->zbs_max_interval);
    options.setenv(ACE_TEXT("ZBS_RETRIES"), ACE_TEXT("%u"), zbs->zbs_retries);
    return true;
}

bool get_servant_result(const JSON_RPC_Object_Ptr& resp, json_spirit::Object& result) {
    QORM_CHECK_RETURN(resp.get() != nullptr, "resp is NULL", false);
    switch (resp->type()) {
        case JSON_RPC_Object::TYPE_RESPONSE: {
            JSON_RPC_Response& r = static_cast<JSON_RPC_Response&>(*resp);
            QORM_CHECK_SHAPE_RETURN(r.result.type() == json_spirit::obj_type,
                                    "r.result is not object", false);
            result.swap(r.result.get_obj());
            return true;
        }
        case JSON_RPC_Object::TYPE_RESPONSE_ERROR: {
            const JSON_RPC_Response_Error& e = static_cast<const JSON_RPC_Response_Error&>(*resp);
            ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to exec in smartx servant, err=%d, %C.\n"),
                              e.code, e.message.c_str()),
                             false);
        }
        default:
            ACE_ERROR_RETURN(
                (LM_ERROR, ACE_TEXT("Unknown response type '%d' for SmartX JSON-RPC in servant.\n"),
                 static_cast<int>(resp->type())),
                false);
    }
}

std::string local_time_now(const char* format) {
    const time_t now = std::time(nullptr);
    struct tm tm_now;
    char buf[64];
    if (::localtime_r(&now, &tm_now) == nullptr ||
        std::strftime(buf, sizeof buf, format, &tm_now) == 0)
        return std::string();
    return buf;
}

bool get_vm_protected_flags(const std::string& resource_uuid, bool& is_protected) {
    is_protected = false;
    QORM_CHECK_NOT_EMPTY_RETURN(resource_uuid, false);
    Host_Manager* host = Host_Manager::instance();
    const int port = host->backupd_port();
    if (host->backupd_host().empty() || port <= 0 || port > 65535)
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to get resource state from backupd.\n")),
                         false);
    JSON_RESTful_Client client(host->backupd_host(), static_cast<uint16_t>(port),
                               host->backupd_ssl(), false);
    std::string path = RESOURCES_PATH;
    path += '?';
    HTTP_Query_String_Builder_T<std::back_insert_iterator<std::string>>(std::back_inserter(path))(
        "uuid", resource_uuid.c_str());
    HTTP_Request request(HTTP_METHOD_GET, path, false);
    const secure_string key = host->on_backupd() ? host->node_access_key() : host->access_key();
    if (!key.empty())
        request.headers().put(HTTP_HEAD_ACCESS_KEY, key, true);
    HTTP_Response response;
    json_spirit::Value answer;
    if (!client.get(request, response, answer))
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to get resource state from backupd.\n")),
                         false);
    try {
        is_protected = has_flag(answer, PROTECTED_FLAG);
    } catch (const std::exception& e) {
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Unrecognized resource info: %C.\n"), e.what()),
                         false);
    }
    return true;
}

bool get_catalog(const char* view_name, const json_spirit::Object& filter, int max_retries,
                 int max_seconds, json_spirit::Value& result) {
    QORM_CHECK_NOT_NULL_RETURN(view_name, false);
    Catalog_Operator catalog(max_retries, max_seconds);
    return catalog.get_view(CATALOG_NAME, view_name, filter, result);
}

bool get_catalog_by_uuid(const std::string& uuid, const std::string& resource_uuid,
                         SmartX_Backup_Set& set, int max_retries, int max_seconds) {
    json_spirit::Object filter;
    filter["uuid"] = uuid;
    filter["resource_uuid"] = resource_uuid;
    filter["limit"] = 1;
    json_spirit::Value result;
    if (!get_catalog("catalogs", filter, max_retries, max_seconds, result))
        ACE_ERROR_RETURN(
            (LM_ERROR, ACE_TEXT("Failed to get catalog by uuid '%C'.\n"), uuid.c_str()), false);
    QORM_CHECK_SHAPE_RETURN(result.type() == json_spirit::array_type, "result is not array", false);
    const json_spirit::Array& rows = result.get_array();
    QORM_CHECK_SHAPE_RETURN(!rows.empty(), "arr is empty array", false);
    QORM_CHECK_SHAPE_RETURN(rows.front().type() == json_spirit::obj_type,
                            "arr.front() is not object", false);
    return load_backup_set(rows.front().get_obj(), set);
}

bool load_backup_set(const json_spirit::Object& row, SmartX_Backup_Set& set) {
    return load_base_backup_set(row, set) && load_vm_backup_set(row, set);
}

bool load_base_backup_set(const json_spirit::Object& row, Backup_Set& set) {
    std::string why;
    std::string failed_key;
    // The base part alone, whatever the set's own type.
    if (set.load_base(row, &why, &failed_key))
        return true;
    // The times are read last: when they fail, every other member loaded.
    if (failed_key == "backup_start_time" || failed_key == "backup_end_time")
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to load time of backup set.\n")), false);
    ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to load base backup set: %C.\n"), why.c_str()),
                     false);
}

bool load_vm_backup_set(const json_spirit::Object& row, SmartX_Backup_Set& set) {
    SmartX_Backup_Set fresh(set);
    try {
        if (!read_vm_part(row, fresh))
            ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to load  backup set info.\n")), false);
    } catch (const std::exception& e) {
        ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("Failed to load vm backup set: %C.\n"), e.what()),
                         false);
    }
    set = std::move(fresh);
    return true;
}
}  // namespace smartx
