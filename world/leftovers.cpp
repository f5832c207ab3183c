#include "world/leftovers.h"

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>

#include "host/json_spirit/json_io.h"
#include "smartx/servant/backup_sweep.h"
#include "world/backup_world.h"

namespace world {

namespace {
Array as_array(const std::vector<Object>& rows) {
    Array out;
    for (const Object& row : rows)
        out.emplace_back(row);
    return out;
}
}  // namespace

std::vector<std::string> leftover_snapshots(const Array& vm_snapshots,
                                            const std::vector<Object>& rows,
                                            const std::string& vm_id) {
    std::set<std::string> needed;
    if (!smartx::needed_snapshots(as_array(rows), needed))
        throw std::runtime_error("a catalog row lacks resource_uuid, vm_id or snap_id");
    std::vector<std::string> out;
    for (const Value& s : vm_snapshots) {
        const std::string id = text_of(s, "id");
        if ((vm_id.empty() || text_of(member_of(s, "vm"), "id") == vm_id) &&
            smartx::is_backup_snapshot_name(text_of(s, "name")) && needed.count(id) == 0)
            out.push_back(id);
    }
    return out;
}

std::vector<std::string> leftover_snapshots(Backup_World& world, const std::string& vm_id) {
    return leftover_snapshots(world.tower().records("vm_snapshots"), world.catalog_rows(), vm_id);
}

std::vector<std::string> orphan_pool_files(const std::vector<std::string>& files,
                                           const std::vector<Object>& rows) {
    std::set<std::string> named;
    if (!smartx::named_files(as_array(rows), named))
        throw std::runtime_error("a catalog row's pieces do not name their paths");
    std::vector<std::string> out;
    for (const std::string& f : files)
        if (named.count(f) == 0)
            out.push_back(f);
    return out;
}

std::vector<std::string> orphan_pool_files(const Backup_World& world) {
    return orphan_pool_files(world.pool_files(), world.catalog_rows());
}

size_t end_commit_grace(const std::string& vm_id) {
    return hold_kept_sets_until(vm_id, ::time(nullptr) - 1);
}

size_t hold_kept_sets_until(const std::string& vm_id, time_t until) {
    const std::filesystem::path dir = smartx::hold_directory(vm_id);
    std::error_code none;
    if (!std::filesystem::is_directory(dir, none))
        return 0;
    size_t rewritten = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        if (!e.is_regular_file() || e.path().filename().string()[0] == '.')
            continue;
        std::ifstream in(e.path());
        const std::string text((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        const size_t line = text.find('\n');
        if (line == std::string::npos)
            continue;
        const Object time{{"until", Value(int64_t{until})}};
        std::ofstream(e.path(), std::ios::trunc)
            << text.substr(0, line + 1) << json_spirit::write(Value(time)) << "\n";
        ++rewritten;
    }
    return rewritten;
}

}  // namespace world
