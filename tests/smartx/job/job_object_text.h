// Texts of what the job parsers build, through the objects' own generate.
#ifndef TESTS_SMARTX_JOB_JOB_OBJECT_TEXT_H
#define TESTS_SMARTX_JOB_JOB_OBJECT_TEXT_H

#include <string>

#include <yajl/yajl_gen.h>

#include "host/job/job_object.h"
#include "host/json_spirit/json_io.h"

// The object's generate output; "<generate failed>" when it reports an error.
template <class Object>
std::string generated_text(Object& obj) {
    yajl_gen g = yajl_gen_alloc(nullptr);
    int status = obj.generate(g);
    const unsigned char* buf = nullptr;
    size_t len = 0;
    yajl_gen_get_buf(g, &buf, &len);
    std::string text(reinterpret_cast<const char*>(buf), len);
    yajl_gen_free(g);
    return status == yajl_gen_status_ok ? text : std::string("<generate failed>");
}

inline json_spirit::Value generated_value(const Job_Object* obj) {
    json_spirit::Value v;
    std::string text;
    if (auto* options = dynamic_cast<Job_Options*>(const_cast<Job_Object*>(obj)))
        text = generated_text(*options);
    else if (auto* source = dynamic_cast<const Job_Source*>(obj))
        text = generated_text(*source);
    if (!json_spirit::read(text, v))
        v = json_spirit::Value("<unreadable>");
    return v;
}

#endif
