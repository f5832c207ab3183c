#include "sim/backup_server/catalog_store.h"

#include <sqlite3.h>

#include "host/json_spirit/json_io.h"

namespace sim {

namespace {

// One prepared statement, finalised on every path.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return stmt_ != nullptr; }
    void bind(int i, const std::string& s) {
        sqlite3_bind_text(stmt_, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    }
    int step() { return sqlite3_step(stmt_); }
    std::string text(int col) {
        const unsigned char* t = sqlite3_column_text(stmt_, col);
        return t ? std::string(reinterpret_cast<const char*>(t),
                               static_cast<size_t>(sqlite3_column_bytes(stmt_, col)))
                 : std::string();
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace

Catalog_Store::~Catalog_Store() {
    if (db_)
        sqlite3_close(db_);
}

bool Catalog_Store::exec(const char* sql, std::string* error) {
    char* msg = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &msg) == SQLITE_OK)
        return true;
    if (error)
        *error = msg ? msg : "sqlite error";
    sqlite3_free(msg);
    return false;
}

bool Catalog_Store::open(const std::string& path, std::string* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (db_) {
        sqlite3_close(db_);
        db_ = nullptr;
    }
    const char* name = path.empty() ? ":memory:" : path.c_str();
    if (sqlite3_open_v2(name, &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        if (error)
            *error = std::string("cannot open ") + name + ": " +
                     (db_ ? sqlite3_errmsg(db_) : "out of memory");
        sqlite3_close(db_);
        db_ = nullptr;
        return false;
    }
    sqlite3_busy_timeout(db_, 5000);
    bool ok = exec(
        "CREATE TABLE IF NOT EXISTS catalog_sets ("
        " seq INTEGER PRIMARY KEY AUTOINCREMENT, catalog TEXT NOT NULL, uuid TEXT NOT NULL,"
        " row TEXT NOT NULL, UNIQUE (catalog, uuid));"
        "CREATE TABLE IF NOT EXISTS resources (uuid TEXT PRIMARY KEY, flags TEXT NOT NULL);",
        error);
    if (!ok) {
        sqlite3_close(db_);
        db_ = nullptr;
    }
    return ok;
}

Catalog_Store::Commit_Result Catalog_Store::commit(const std::string& catalog,
                                                   const std::string& uuid,
                                                   const json_spirit::Object& row, bool replace) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_)
        return FAILED;
    std::string text = json_spirit::write(json_spirit::Value(row));
    Statement insert(db_, "INSERT INTO catalog_sets (catalog, uuid, row) VALUES (?1, ?2, ?3)");
    if (!insert.ok())
        return FAILED;
    insert.bind(1, catalog);
    insert.bind(2, uuid);
    insert.bind(3, text);
    int rc = insert.step();
    if (rc == SQLITE_DONE)
        return COMMITTED;
    if (rc != SQLITE_CONSTRAINT)
        return FAILED;
    if (!replace)
        return DUPLICATE;
    Statement update(db_, "UPDATE catalog_sets SET row = ?3 WHERE catalog = ?1 AND uuid = ?2");
    if (!update.ok())
        return FAILED;
    update.bind(1, catalog);
    update.bind(2, uuid);
    update.bind(3, text);
    return update.step() == SQLITE_DONE ? REPLACED : FAILED;
}

bool Catalog_Store::rows(const std::string& catalog, std::vector<json_spirit::Object>& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    out.clear();
    if (!db_)
        return false;
    Statement select(db_, "SELECT row FROM catalog_sets WHERE catalog = ?1 ORDER BY seq");
    if (!select.ok())
        return false;
    select.bind(1, catalog);
    int rc;
    while ((rc = select.step()) == SQLITE_ROW) {
        json_spirit::Value v;
        if (json_spirit::read(select.text(0), v) && v.type() == json_spirit::obj_type)
            out.push_back(v.get_obj());
    }
    return rc == SQLITE_DONE;
}

bool Catalog_Store::set_flags(const std::string& uuid, const std::vector<std::string>& flags) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_)
        return false;
    json_spirit::Array list(flags.begin(), flags.end());
    Statement upsert(db_, "INSERT OR REPLACE INTO resources (uuid, flags) VALUES (?1, ?2)");
    if (!upsert.ok())
        return false;
    upsert.bind(1, uuid);
    upsert.bind(2, json_spirit::write(json_spirit::Value(list)));
    return upsert.step() == SQLITE_DONE;
}

bool Catalog_Store::flags(const std::string& uuid, std::vector<std::string>& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    out.clear();
    if (!db_)
        return false;
    Statement select(db_, "SELECT flags FROM resources WHERE uuid = ?1");
    if (!select.ok())
        return false;
    select.bind(1, uuid);
    if (select.step() != SQLITE_ROW)
        return false;
    json_spirit::Value v;
    if (!json_spirit::read(select.text(0), v) || v.type() != json_spirit::array_type)
        return false;
    for (const auto& f : v.get_array())
        if (f.type() == json_spirit::str_type)
            out.push_back(f.get_str());
    return true;
}

namespace {

bool is_paging_key(const std::string& k) {
    return k == "limit" || k == "offset";
}

bool matches(const json_spirit::Object& row, const json_spirit::Object& filter) {
    for (const auto& kv : filter) {
        if (is_paging_key(kv.first))
            continue;
        const json_spirit::Value* v = json_spirit::object_get_value(row, kv.first);
        if (!v || !(*v == kv.second))
            return false;
    }
    return true;
}

const std::string* row_uuid(const json_spirit::Object& row) {
    return json_spirit::object_get_str(row, "uuid");
}

}  // namespace

int catalog_view(const std::string& view, const json_spirit::Object& filter,
                 const std::vector<json_spirit::Object>& rows, json_spirit::Value& out,
                 std::string& error) {
    json_spirit::Array result;
    if (view == "catalogs" || view == "base_catalog") {
        long long limit = -1, offset = 0;
        if ((json_spirit::object_get_value(filter, "limit") &&
             !json_spirit::object_get(filter, "limit", limit)) ||
            (json_spirit::object_get_value(filter, "offset") &&
             !json_spirit::object_get(filter, "offset", offset)) ||
            offset < 0) {
            error = "\"limit\" and \"offset\" must be integers";
            return 400;
        }
        for (const auto& row : rows) {
            if (!matches(row, filter))
                continue;
            if (offset > 0) {
                --offset;
                continue;
            }
            if (limit >= 0 && static_cast<long long>(result.size()) >= limit)
                break;
            result.push_back(row);
        }
        out = result;
        return 200;
    }
    if (view == "restore") {
        const std::string* uuid = json_spirit::object_get_str(filter, "uuid");
        if (!uuid) {
            error = "the restore view needs \"uuid\"";
            return 400;
        }
        const json_spirit::Object* cur = nullptr;
        for (const auto& row : rows)
            if (matches(row, filter))
                cur = &row;
        std::vector<const json_spirit::Object*> chain;
        while (cur) {
            for (const json_spirit::Object* seen : chain) {
                if (seen == cur) {
                    error = "the chain of backup set " + *uuid + " loops";
                    return 409;
                }
            }
            chain.push_back(cur);
            const json_spirit::Array* bases = json_spirit::object_get_array(*cur, "base_sets");
            if (!bases || bases->empty())
                break;
            const json_spirit::Value& base = bases->front();
            cur = nullptr;
            for (const auto& row : rows) {
                const std::string* u = row_uuid(row);
                if (base.type() == json_spirit::str_type && u && *u == base.get_str())
                    cur = &row;
            }
            if (!cur) {
                error = "the chain of backup set " + *uuid + " is broken: a base set is missing";
                return 409;
            }
        }
        for (auto it = chain.rbegin(); it != chain.rend(); ++it)
            result.push_back(**it);
        out = result;
        return 200;
    }
    error = "no view " + view;
    return 404;
}

}  // namespace sim
