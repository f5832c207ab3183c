// The module's streaming option and source parsers, as the host drives them:
// the first byte picks backup or restore options or source, the rest is the
// text. A parse either fails or builds its object.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "host/job/job_object.h"
#include "smartx/job/job_creator.h"

namespace {

typedef Object_Creator_T<YAJL_Handler>* (*Make)(Gobble_Function*);
const Make makers[] = {
    _make_SmartX_Backup_Options_Parser_Creator,
    _make_SmartX_Backup_Source_Parser_Creator,
    _make_SmartX_Restore_Options_Parser_Creator,
    _make_SmartX_Restore_Source_Parser_Creator,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = (quiet_logs(), true);
    (void)quiet;
    if (size == 0)
        return 0;
    Gobble_Function gobble = nullptr;
    Object_Creator_T<YAJL_Handler>* creator = makers[data[0] % 4](&gobble);
    FUZZ_CHECK(creator != nullptr);
    YAJL_Handler* handler = creator->create();
    FUZZ_CHECK(handler != nullptr);
    std::string error;
    if (handler->parse(reinterpret_cast<const char*>(data + 1), size - 1, &error)) {
        auto* parser = dynamic_cast<YAJL_Object_Parser*>(handler);
        FUZZ_CHECK(parser != nullptr && parser->shared_result() != nullptr);
    } else {
        FUZZ_CHECK(!error.empty());
    }
    creator->destroy(handler);
    gobble(creator);
    return 0;
}
