// Streaming parsers of a job's options text. Only the keys of the parser's
// rule table are kept, each with the JSON kind the rule names; numbers are
// read as decimal digits up to the first other character and clamped.
#ifndef SMARTX_JOB_BACKUP_OPTIONS_PARSER_H
#define SMARTX_JOB_BACKUP_OPTIONS_PARSER_H

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "host/job/job_object.h"
#include "host/json_spirit/value.h"

namespace smartx {

struct Option_Rule {
    enum Kind {
        INT,     // stored as int
        UINT64,  // stored as unsigned 64-bit
        STRING,
        BOOL
    };

    // Bounds of the I/O buffer sizes: 256 KiB to 64 MiB.
    static constexpr uint64_t BUFFER_MIN = 262144;
    static constexpr uint64_t BUFFER_MAX = 67108864;

    const char* key;
    Kind kind;
    // Numbers only: the value is clamped to [low, high] and, when step is
    // above 1, rounded down to a multiple of it.
    int64_t low;
    uint64_t high;
    uint64_t step;
};

// What both options parsers share: the options object, the last key and the
// storing of values by rule.
class Options_Parser : public YAJL_Parser<Job_Options> {
public:
    Result_Ptr result() override { return result_; }

    int handle_boolean_i(bool value) override;
    int handle_number_i(const char* s, size_t len) override;
    int handle_string_i(const char* s, size_t len) override;
    int handle_map_key_i(const char* s, size_t len) override;

protected:
    // rules: terminated by a rule whose key is null.
    explicit Options_Parser(const Option_Rule* rules) : rules_(rules) {}

    // Options: a Job_Options with value(); allocation failure sets ENOMEM and
    // leaves the result null.
    template <class Options>
    void make_result();

    // False (after the invariant message) when there is no options object.
    bool check_result();
    // The options object, made an object on first use.
    json_spirit::Object& options();
    const Option_Rule* find_rule(Option_Rule::Kind kind) const;
    void store_string(const char* s, size_t len);

    Result_Ptr result_;
    std::string key_;

private:
    json_spirit::Value* value_ = nullptr;
    const Option_Rule* rules_;
};

class Backup_Options_Parser : public Options_Parser {
public:
    Backup_Options_Parser();
    ~Backup_Options_Parser() override;

    int handle_string_i(const char* s, size_t len) override;
    int handle_start_map_i() override;
    int handle_end_map_i() override;
    int handle_start_array_i() override;
    int handle_end_array_i() override;

private:
    bool in_exclusion() const { return path_ == "exclusion" && depth_ == exclusion_depth_; }

    std::string path_;  // keys of the open arrays, joined by "/"
    json_spirit::Array exclude_vms_;
    // Per open array: whether it added a key to path_, so that closing it
    // takes off only its own key.
    std::vector<bool> pushed_;
    // Containers open, and how many were open at the innermost "exclusion"
    // array: only its own string elements are names.
    int depth_ = 0;
    int exclusion_depth_ = -1;
};

template <class Options>
void Options_Parser::make_result() {
    Options* options = new (std::nothrow) Options();
    if (options == nullptr) {
        errno = ENOMEM;
        return;
    }
    result_.reset(options);
    value_ = &options->value();
}

}  // namespace smartx

#endif
