#include "sim/cloudtower/query.h"

#include <algorithm>

#include "sim/cloudtower/json_util.h"

namespace sim {
namespace cloudtower {

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

namespace {

bool fail(std::string* error, const std::string& what) {
    if (error)
        *error = what;
    return false;
}

bool fail(std::string& err, const std::string& what) {
    err = what;
    return false;
}

bool is_string(const Value& v) {
    return v.type() == json_spirit::str_type;
}

// Longest suffixes first, so "_not_contains" wins over "_contains".
const char* const SUFFIXES[] = {"_not_starts_with",
                                "_not_ends_with",
                                "_not_contains",
                                "_starts_with",
                                "_ends_with",
                                "_contains",
                                "_not_in",
                                "_every",
                                "_some",
                                "_none",
                                "_gte",
                                "_lte",
                                "_not",
                                "_in",
                                "_gt",
                                "_lt"};

// Splits a filter key into the field and the operator ("" for equality).
void split_key(const Object& record, const std::string& key, std::string& field, std::string& op) {
    if (record.count(key) || Inventory::relation_kind(key)) {
        field = key;
        op.clear();
        return;
    }
    for (const char* s : SUFFIXES) {
        std::string suffix = s;
        if (key.size() > suffix.size() &&
            key.compare(key.size() - suffix.size(), suffix.size(), suffix) == 0) {
            field = key.substr(0, key.size() - suffix.size());
            op = suffix.substr(1);
            return;
        }
    }
    field = key;
    op.clear();
}

bool starts_with(const std::string& s, const std::string& p) {
    return s.compare(0, p.size(), p) == 0;
}
bool ends_with(const std::string& s, const std::string& p) {
    return s.size() >= p.size() && s.compare(s.size() - p.size(), p.size(), p) == 0;
}

// The record a nested reference stands for, or the reference itself when
// the target is not in the inventory.
const Object& resolve(const Inventory& inv, const std::string& field, const Object& ref) {
    const char* kind = Inventory::relation_kind(field);
    if (kind) {
        if (const Object* target = inv.find(kind, str_of(ref, "id")))
            return *target;
    }
    return ref;
}

bool match(const Inventory& inv, const Object& record, const Value& where, std::string& err);

// A relation filter on one reference or a list of them (any element).
bool relation_matches(const Inventory& inv, const std::string& field, const Value* fv,
                      const Value& where, bool& result, std::string& err) {
    result = false;
    if (!fv)
        return true;
    if (fv->type() == json_spirit::obj_type) {
        bool ok = match(inv, resolve(inv, field, fv->get_obj()), where, err);
        if (!err.empty())
            return false;
        result = ok;
        return true;
    }
    if (fv->type() == json_spirit::array_type) {
        for (const Value& e : fv->get_array()) {
            if (e.type() != json_spirit::obj_type)
                continue;
            bool ok = match(inv, resolve(inv, field, e.get_obj()), where, err);
            if (!err.empty())
                return false;
            if (ok) {
                result = true;
                break;
            }
        }
    }
    return true;
}

bool equals(const Value* fv, const Value& val) {
    if (val.is_null())
        return !fv || fv->is_null();
    return fv && json_equal(*fv, val);
}

bool in_list(const Value* fv, const Array& list) {
    for (const Value& v : list)
        if (equals(fv, v))
            return true;
    return false;
}

bool condition(const Inventory& inv, const Object& record, const std::string& key, const Value& val,
               bool& result, std::string& err) {
    std::string field, op;
    split_key(record, key, field, op);
    auto it = record.find(field);
    const Value* fv = it == record.end() ? nullptr : &it->second;

    if (op.empty() || op == "not") {
        bool eq;
        if (val.type() == json_spirit::obj_type) {
            if (!relation_matches(inv, field, fv, val, eq, err))
                return false;
        } else {
            eq = equals(fv, val);
        }
        result = op.empty() ? eq : !eq;
        return true;
    }
    if (op == "in" || op == "not_in") {
        if (val.type() != json_spirit::array_type)
            return fail(err, "\"" + key + "\" expects a list");
        bool in = in_list(fv, val.get_array());
        result = op == "in" ? in : !in;
        return true;
    }
    if (op == "contains" || op == "starts_with" || op == "ends_with" || op == "not_contains" ||
        op == "not_starts_with" || op == "not_ends_with") {
        if (!is_string(val))
            return fail(err, "\"" + key + "\" expects a string");
        bool negate = starts_with(op, "not_");
        std::string test = negate ? op.substr(4) : op;
        bool hit = false;
        if (fv && is_string(*fv)) {
            const std::string& s = fv->get_str();
            const std::string& p = val.get_str();
            hit = test == "contains"      ? s.find(p) != std::string::npos
                  : test == "starts_with" ? starts_with(s, p)
                                          : ends_with(s, p);
        }
        result = negate ? !hit : hit;
        return true;
    }
    if (op == "gt" || op == "gte" || op == "lt" || op == "lte") {
        if (!is_number(val) && !is_string(val))
            return fail(err, "\"" + key + "\" expects a number or a string");
        result = false;
        if (fv && ((is_number(*fv) && is_number(val)) || (is_string(*fv) && is_string(val)))) {
            int c = json_compare(*fv, val);
            result = op == "gt" ? c > 0 : op == "gte" ? c >= 0 : op == "lt" ? c < 0 : c <= 0;
        }
        return true;
    }
    // some / every / none over a list of references.
    if (val.type() != json_spirit::obj_type)
        return fail(err, "\"" + key + "\" expects a filter object");
    size_t hits = 0, total = 0;
    if (fv && fv->type() == json_spirit::array_type) {
        for (const Value& e : fv->get_array()) {
            if (e.type() != json_spirit::obj_type)
                continue;
            ++total;
            bool ok = match(inv, resolve(inv, field, e.get_obj()), val, err);
            if (!err.empty())
                return false;
            if (ok)
                ++hits;
        }
    }
    result = op == "some" ? hits > 0 : op == "every" ? hits == total : hits == 0;
    return true;
}

bool list_of_filters(const Value& val, std::vector<const Value*>& out) {
    if (val.type() == json_spirit::obj_type) {
        out.push_back(&val);
        return true;
    }
    if (val.type() != json_spirit::array_type)
        return false;
    for (const Value& v : val.get_array()) {
        if (v.type() != json_spirit::obj_type)
            return false;
        out.push_back(&v);
    }
    return true;
}

bool match(const Inventory& inv, const Object& record, const Value& where, std::string& err) {
    if (where.is_null())
        return true;
    if (where.type() != json_spirit::obj_type)
        return fail(err, "\"where\" must be an object");
    for (const auto& member : where.get_obj()) {
        const std::string& key = member.first;
        const Value& val = member.second;
        bool ok = true;
        if (key == "AND" || key == "OR" || key == "NOT") {
            std::vector<const Value*> filters;
            if (!list_of_filters(val, filters))
                return fail(err, "\"" + key + "\" expects filter objects");
            size_t hits = 0;
            for (const Value* f : filters) {
                bool m = match(inv, record, *f, err);
                if (!err.empty())
                    return false;
                if (m)
                    ++hits;
            }
            ok = key == "AND" ? hits == filters.size() : key == "OR" ? hits > 0 : hits == 0;
        } else if (!condition(inv, record, key, val, ok, err)) {
            return false;
        }
        if (!ok)
            return false;
    }
    return true;
}

}  // namespace

bool record_matches(const Inventory& inv, const Object& record, const Value& where,
                    std::string* error) {
    std::string err;
    bool ok = match(inv, record, where, err);
    if (!err.empty())
        return fail(error, err);
    return ok;
}

bool select_records(const Inventory& inv, const std::string& kind, const Value& where,
                    std::vector<const Object*>& out, std::string* error) {
    std::string why;
    for (const Object& rec : inv.records(kind)) {
        bool ok = record_matches(inv, rec, where, &why);
        if (!why.empty())
            return fail(error, why);
        if (ok)
            out.push_back(&rec);
    }
    return true;
}

namespace {

bool optional_count(const Object& body, const char* key, int64_t& out, std::string* error) {
    auto it = body.find(key);
    out = -1;
    if (it == body.end() || it->second.is_null())
        return true;
    if (it->second.type() != json_spirit::int_type || it->second.is_uint64() ||
        it->second.get_int64() < 0 || it->second.get_int64() > INT32_MAX)
        return fail(error, std::string("\"") + key + "\" must be a non-negative 32-bit integer");
    out = it->second.get_int64();
    return true;
}

bool optional_string(const Object& body, const char* key, std::string& out, bool& given,
                     std::string* error) {
    auto it = body.find(key);
    given = false;
    if (it == body.end() || it->second.is_null())
        return true;
    if (!is_string(it->second))
        return fail(error, std::string("\"") + key + "\" must be a string");
    out = it->second.get_str();
    given = true;
    return true;
}

}  // namespace

bool run_query(const Inventory& inv, const std::string& kind, const Value& body, bool ignore_skip,
               Array& out, std::string* error) {
    static const Object empty;
    if (!body.is_null() && body.type() != json_spirit::obj_type)
        return fail(error, "the body must be an object");
    const Object& args = body.is_null() ? empty : body.get_obj();
    for (const auto& member : args) {
        const std::string& k = member.first;
        if (k != "where" && k != "orderBy" && k != "first" && k != "last" && k != "skip" &&
            k != "after" && k != "before")
            return fail(error, "unknown argument \"" + k + "\"");
    }
    int64_t first, last, skip;
    if (!optional_count(args, "first", first, error) ||
        !optional_count(args, "last", last, error) || !optional_count(args, "skip", skip, error))
        return false;
    std::string order, after, before;
    bool has_order, has_after, has_before;
    if (!optional_string(args, "orderBy", order, has_order, error) ||
        !optional_string(args, "after", after, has_after, error) ||
        !optional_string(args, "before", before, has_before, error))
        return false;

    auto w = args.find("where");
    const Value& where = w == args.end() ? Value::null : w->second;
    std::vector<const Object*> rows;
    if (!select_records(inv, kind, where, rows, error))
        return false;

    if (has_order) {
        bool desc = ends_with(order, "_DESC");
        if (!desc && !ends_with(order, "_ASC"))
            return fail(error, "\"orderBy\" must end in _ASC or _DESC");
        std::string field = order.substr(0, order.size() - (desc ? 5 : 4));
        std::stable_sort(rows.begin(), rows.end(), [&](const Object* a, const Object* b) {
            auto fa = a->find(field), fb = b->find(field);
            const Value& va = fa == a->end() ? Value::null : fa->second;
            const Value& vb = fb == b->end() ? Value::null : fb->second;
            int c = json_compare(va, vb);
            return desc ? c > 0 : c < 0;
        });
    }

    auto position = [&](const std::string& id) {
        for (size_t i = 0; i < rows.size(); ++i)
            if (str_of(*rows[i], "id") == id)
                return static_cast<long>(i);
        return -1L;
    };
    size_t begin = 0, end = rows.size();
    if (has_after) {
        long p = position(after);
        begin = p < 0 ? end : static_cast<size_t>(p) + 1;
    }
    if (has_before) {
        long p = position(before);
        end = p < 0 ? begin : std::max(begin, static_cast<size_t>(p));
    }
    if (skip > 0 && !ignore_skip) {
        size_t s = static_cast<size_t>(skip);
        if (last >= 0)
            end = end - std::min(s, end - begin);
        else
            begin = begin + std::min(s, end - begin);
    }
    if (last >= 0) {
        begin = end - std::min(static_cast<size_t>(last), end - begin);
    } else if (first >= 0) {
        end = begin + std::min(static_cast<size_t>(first), end - begin);
    }
    out.clear();
    for (size_t i = begin; i < end; ++i)
        out.push_back(*rows[i]);
    return true;
}

}  // namespace cloudtower
}  // namespace sim
