// Job definitions as job-engine reads them: the first byte picks the
// module's backup or restore parsers, the rest is the definition's text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "host/job/job_definition.h"
#include "host/json_spirit/json_io.h"
#include "smartx/job/job_creator.h"

namespace {

struct Creator {
    Creator(Object_Creator_T<YAJL_Handler>* (*make)(Gobble_Function*)) : obj(make(&gobble)) {}
    ~Creator() { gobble(obj); }
    Gobble_Function gobble = nullptr;
    Object_Creator_T<YAJL_Handler>* obj;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = (quiet_logs(), true);
    (void)quiet;
    if (size == 0)
        return 0;
    const bool backup = data[0] % 2 == 0;
    Creator options(backup ? _make_SmartX_Backup_Options_Parser_Creator
                           : _make_SmartX_Restore_Options_Parser_Creator);
    Creator source(backup ? _make_SmartX_Backup_Source_Parser_Creator
                          : _make_SmartX_Restore_Source_Parser_Creator);
    json_spirit::Value doc;
    if (!json_spirit::read(std::string(reinterpret_cast<const char*>(data + 1), size - 1), doc) ||
        doc.type() != json_spirit::obj_type)
        return 0;
    Job_Definition def;
    std::string error;
    if (!def.load(doc.get_obj(), options.obj, source.obj, &error))
        FUZZ_CHECK(!error.empty());
    return 0;
}
