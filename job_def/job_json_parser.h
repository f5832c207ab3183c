// Streaming parsers that keep a whole JSON document (a job's source) in the
// object they build. The host drives the callbacks: one that throws stops
// the parse instead.
#ifndef JOB_DEF_JOB_JSON_PARSER_H
#define JOB_DEF_JOB_JSON_PARSER_H

#include <cerrno>
#include <new>
#include <string>
#include <utility>

#include "host/job/job_object.h"
#include "host/json_spirit/json_parser.h"
#include "qorm/guard.h"

template <class S>
class Job_JSON_Parser : public YAJL_Parser<S> {
public:
    typedef typename YAJL_Parser<S>::Result_Ptr Result_Ptr;

    Job_JSON_Parser() {
        S* obj = new (std::nothrow) S();
        if (!obj) {
            errno = ENOMEM;
            return;
        }
        result_.reset(obj);
        parser_.result(&obj->value());
    }

    int handle_null_i() override {
        return guarded([&] { return parser_.handle_null_i(); });
    }
    int handle_boolean_i(bool v) override {
        return guarded([&] { return parser_.handle_boolean_i(v); });
    }
    int handle_integer_i(long long v) override {
        return guarded([&] { return parser_.handle_integer_i(v); });
    }
    int handle_double_i(double v) override {
        return guarded([&] { return parser_.handle_double_i(v); });
    }
    int handle_number_i(const char* s, size_t n) override {
        return guarded([&] { return parser_.handle_number_i(s, n); });
    }
    int handle_string_i(const char* s, size_t n) override {
        return guarded([&] { return parser_.handle_string_i(s, n); });
    }
    int handle_start_map_i() override {
        return guarded([&] { return parser_.handle_start_map_i(); });
    }
    int handle_map_key_i(const char* s, size_t n) override {
        return guarded([&] { return parser_.handle_map_key_i(s, n); });
    }
    int handle_end_map_i() override {
        return guarded([&] { return parser_.handle_end_map_i(); });
    }
    int handle_start_array_i() override {
        return guarded([&] { return parser_.handle_start_array_i(); });
    }
    int handle_end_array_i() override {
        return guarded([&] { return parser_.handle_end_array_i(); });
    }

    Result_Ptr result() override { return result_; }

protected:
    template <class F>
    static int guarded(F&& f) {
        return qorm::guarded("parse the job source", 0, std::forward<F>(f));
    }

    Result_Ptr result_;
    JSON_Parser parser_;
};

// Also hands the document's top-level "id" and "name" to the host's source
// record.
template <class S>
class Job_Source_Parser : public Job_JSON_Parser<S> {
public:
    int handle_string_i(const char* s, size_t n) override {
        return this->guarded([&] {
            S* obj = this->result_.get();
            if (obj && this->parser_.levels() == 1) {
                const std::string& key = this->parser_.key();
                if (key == "id")
                    obj->id(std::string(s, n));
                else if (key == "name")
                    obj->name(std::string(s, n));
            }
            return this->parser_.handle_string_i(s, n);
        });
    }
};

#endif
