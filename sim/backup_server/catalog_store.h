// The simulated backup server's catalog and resource flags, kept in SQLite
// so that they outlive the process when given a file.
#ifndef SIM_BACKUP_SERVER_CATALOG_STORE_H
#define SIM_BACKUP_SERVER_CATALOG_STORE_H

#include <mutex>
#include <string>
#include <vector>

#include "host/json_spirit/value.h"

struct sqlite3;

namespace sim {

class Catalog_Store {
public:
    Catalog_Store() = default;
    ~Catalog_Store();
    Catalog_Store(const Catalog_Store&) = delete;
    Catalog_Store& operator=(const Catalog_Store&) = delete;

    // path empty: a database in memory. Closes one already open.
    bool open(const std::string& path, std::string* error);

    enum Commit_Result { COMMITTED, REPLACED, DUPLICATE, FAILED };
    // Rows are kept by (catalog, "uuid"). A replaced row keeps its place in
    // commit order.
    Commit_Result commit(const std::string& catalog, const std::string& uuid,
                         const json_spirit::Object& row, bool replace);
    // Every row of a catalog, in commit order.
    bool rows(const std::string& catalog, std::vector<json_spirit::Object>& out);

    // Flags of a resource (replacing what it had).
    bool set_flags(const std::string& uuid, const std::vector<std::string>& flags);
    // False when the resource is unknown (or on failure).
    bool flags(const std::string& uuid, std::vector<std::string>& out);

private:
    bool exec(const char* sql, std::string* error);

    std::mutex mutex_;
    sqlite3* db_ = nullptr;
};

// Answers a view of a catalog from its rows (commit order) and the filter:
// the HTTP status, with the answer in out or the reason in error.
//   "catalogs", "base_catalog": the rows whose members equal every member of
//     the filter but "limit" and "offset", in commit order, then "offset"
//     rows skipped and at most "limit" kept;
//   "restore": the chain of sets that restores the set "uuid" (required),
//     following each set's first "base_sets" entry, oldest first; no such set
//     gives []; a base that is missing or a loop gives 409.
// Any other view is 404.
int catalog_view(const std::string& view, const json_spirit::Object& filter,
                 const std::vector<json_spirit::Object>& rows, json_spirit::Value& out,
                 std::string& error);

}  // namespace sim

#endif
