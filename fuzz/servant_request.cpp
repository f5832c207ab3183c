// A servant request as the starter and the backup servant take it: the
// JSON-RPC text, then its "param" and "entry" records and their bounds.
// What parses writes back to text that parses to the same object.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "host/servant/json_rpc.h"
#include "smartx/common/param.h"
#include "smartx/job/backup_source_entry.h"
#include "smartx/job/restore_source_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = (quiet_logs(), true);
    (void)quiet;
    std::string why;
    const JSON_RPC_Object_Ptr obj =
        json_rpc_parse(std::string(reinterpret_cast<const char*>(data), size), &why);
    if (obj.null()) {
        FUZZ_CHECK(!why.empty());
        return 0;
    }
    const std::string text = json_rpc_text(*obj);
    if (text.empty())
        return 0;  // a number beyond a double has no text
    const JSON_RPC_Object_Ptr back = json_rpc_parse(text, &why);
    FUZZ_CHECK(!back.null() && back->type() == obj->type());
    FUZZ_CHECK(json_rpc_text(*back) == text);

    if (obj->type() != JSON_RPC_Object::TYPE_REQUEST)
        return 0;
    const json_spirit::Value& params = static_cast<const JSON_RPC_Request&>(*obj).params;
    if (params.type() != json_spirit::obj_type)
        return 0;
    const json_spirit::Value* param = json_spirit::object_get_value(params.get_obj(), "param");
    const json_spirit::Value* entry = json_spirit::object_get_value(params.get_obj(), "entry");
    if (param != nullptr) {
        smartx::Backup_Param backup;
        if (backup.load(*param))
            backup.out_of_range();
        smartx::Restore_Param restore;
        if (restore.load(*param))
            restore.out_of_range();
    }
    if (entry != nullptr) {
        smartx::Backup_Source_Entry().load(*entry);
        smartx::Restore_Source_Entry().load(*entry);
    }
    return 0;
}
