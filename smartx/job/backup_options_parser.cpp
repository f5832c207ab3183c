#include "smartx/job/backup_options_parser.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "json_spirit/assign.h"
#include "qorm/check.h"
#include "qorm/guard.h"
#include "qorm/natoi.h"
#include "smartx/common/param.h"
#include "smartx/job/job_value.h"

namespace smartx {

namespace {

constexpr uint64_t NO_BOUND = std::numeric_limits<uint64_t>::max();

// The host drives the callbacks: one that throws stops the parse instead.
template <class F>
int guarded_callback(F&& f) {
    return qorm::guarded("parse job options", 0, std::forward<F>(f));
}

const Option_Rule backup_rules[] = {
    {"channels", Option_Rule::INT, 1, 64, 1},
    {"compression_level", Option_Rule::INT, 1, 32, 1},
    {"parallel_vms", Option_Rule::INT, 1, 64, 1},
    {"parallel_vms_per_host", Option_Rule::INT, 1, 64, 1},
    {"parallel_disks_per_vm", Option_Rule::INT, 1, 5, 1},
    {"read_buffer_size", Option_Rule::UINT64, Option_Rule::BUFFER_MIN, Option_Rule::BUFFER_MAX, 1},
    {"storage_reserved_percent", Option_Rule::INT, 0, 100, 1},
    {"storage_reserved_bytes", Option_Rule::UINT64, 0, NO_BOUND, 1},
    // The data movers query ZBS in whole 256 KiB units.
    {"zbs_block_size", Option_Rule::INT, ZBS_BLOCK_SIZE_UNIT, ZBS_BLOCK_SIZE_MAX,
     ZBS_BLOCK_SIZE_UNIT},
    {"compression", Option_Rule::STRING, 0, 0, 0},
    {"zbs_version", Option_Rule::STRING, 0, 0, 0},
    {"snapshot", Option_Rule::STRING, 0, 0, 0},
    {"dirty_snapshot_op", Option_Rule::STRING, 0, 0, 0},
    {"restart_vm", Option_Rule::BOOL, 0, 0, 0},
    {"reserve_snapshot", Option_Rule::BOOL, 0, 0, 0},
    {"allocated_blocks", Option_Rule::BOOL, 0, 0, 0},
    {nullptr, Option_Rule::INT, 0, 0, 0},
};

template <class T>
T clamp_to_rule(T v, const Option_Rule& rule) {
    const T low = static_cast<T>(rule.low);
    const T high = static_cast<T>(std::min<uint64_t>(rule.high, std::numeric_limits<T>::max()));
    v = std::min(std::max(v, low), high);
    if (rule.step > 1)
        v -= static_cast<T>(static_cast<uint64_t>(v) % rule.step);
    return v;
}

}  // namespace

// ---- Options_Parser ----

bool Options_Parser::check_result() {
    return QORM_CHECK(result_.get() != nullptr, "result_ is NULL");
}

json_spirit::Object& Options_Parser::options() {
    return json_spirit::to_object(*value_);
}

const Option_Rule* Options_Parser::find_rule(Option_Rule::Kind kind) const {
    for (const Option_Rule* rule = rules_; rule->key != nullptr; ++rule) {
        if (key_ == rule->key)
            return rule->kind == kind ? rule : nullptr;
    }
    return nullptr;
}

void Options_Parser::store_string(const char* s, size_t len) {
    if (find_rule(Option_Rule::STRING) != nullptr)
        options()[key_] = std::string(s, len);
}

int Options_Parser::handle_boolean_i(bool value) {
    return guarded_callback([&] {
        if (!check_result())
            return 0;
        if (find_rule(Option_Rule::BOOL) != nullptr)
            options()[key_] = value;
        return 1;
    });
}

int Options_Parser::handle_number_i(const char* s, size_t len) {
    return guarded_callback([&] {
        if (!check_result())
            return 0;
        // Digits up to the first other character: 2.7 reads 2, 1e3 reads 1,
        // and text without digits reads 0 before clamping.
        if (const Option_Rule* rule = find_rule(Option_Rule::INT))
            options()[key_] = clamp_to_rule(natoi<int>(s, s + len), *rule);
        else if (const Option_Rule* rule = find_rule(Option_Rule::UINT64))
            options()[key_] = clamp_to_rule(natoi<unsigned long>(s, s + len), *rule);
        return 1;
    });
}

int Options_Parser::handle_string_i(const char* s, size_t len) {
    return guarded_callback([&] {
        if (!check_result())
            return 0;
        store_string(s, len);
        return 1;
    });
}

int Options_Parser::handle_map_key_i(const char* s, size_t len) {
    return guarded_callback([&] {
        key_.assign(s, len);
        return 1;
    });
}

// ---- Backup_Options_Parser ----

Backup_Options_Parser::Backup_Options_Parser() : Options_Parser(backup_rules) {
    make_result<Backup_Options>();
}

Backup_Options_Parser::~Backup_Options_Parser() = default;

int Backup_Options_Parser::handle_string_i(const char* s, size_t len) {
    return guarded_callback([&] {
        if (!check_result())
            return 0;
        if (in_exclusion())
            exclude_vms_.emplace_back(std::string(s, len));
        else
            store_string(s, len);
        return 1;
    });
}

int Backup_Options_Parser::handle_start_map_i() {
    ++depth_;
    return 1;
}

int Backup_Options_Parser::handle_end_map_i() {
    --depth_;
    key_.clear();
    return 1;
}

int Backup_Options_Parser::handle_start_array_i() {
    return guarded_callback([&] {
        ++depth_;
        pushed_.push_back(!key_.empty());
        if (!key_.empty()) {
            if (!path_.empty() && path_.back() != '/')
                path_ += '/';
            path_ += key_;
            if (path_ == "exclusion")
                exclusion_depth_ = depth_;
        }
        return 1;
    });
}

int Backup_Options_Parser::handle_end_array_i() {
    return guarded_callback([&] {
        if (in_exclusion()) {
            if (!check_result())
                return 0;
            // Every "exclusion" array of the text adds to one list.
            options()["exclusion"] = exclude_vms_;
        }
        if (!pushed_.empty()) {
            if (pushed_.back()) {
                const size_t slash = path_.rfind('/');
                path_.erase(slash == std::string::npos ? 0 : slash);
            }
            pushed_.pop_back();
        }
        --depth_;
        key_.clear();
        return 1;
    });
}

}  // namespace smartx
