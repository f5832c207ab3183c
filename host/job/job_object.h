// Bases of the objects a module's parsers build from a job definition's
// options and source texts, and the creator interface the module exports.
#ifndef HOST_JOB_JOB_OBJECT_H
#define HOST_JOB_JOB_OBJECT_H

#include <memory>
#include <string>

#include <ace/Refcounted_Auto_Ptr.h>
#include <ace/Thread_Mutex.h>

#include "host/json_spirit/yajl_handler.h"

typedef struct yajl_gen_t* yajl_gen;

class Job_Object {
public:
    virtual ~Job_Object() = default;
};

class Job_Options : public Job_Object {
public:
    // Writes the options as JSON; returns a yajl_gen_status.
    virtual int generate(yajl_gen g) = 0;
};

class Job_Source : public Job_Object {
public:
    virtual int generate(yajl_gen g) const = 0;

    const std::string& id() const { return id_; }
    void id(const std::string& v) { id_ = v; }
    const std::string& name() const { return name_; }
    void name(const std::string& v) { name_ = v; }

private:
    std::string id_;
    std::string name_;
};

// A streaming handler that ends up holding one object; the host takes the
// object through shared_result() without knowing its concrete type.
class YAJL_Object_Parser : public YAJL_Handler {
public:
    virtual std::shared_ptr<Job_Object> shared_result() = 0;
};

template <class T>
class YAJL_Parser : public YAJL_Object_Parser {
public:
    typedef ACE_Refcounted_Auto_Ptr<T, ACE_Thread_Mutex> Result_Ptr;
    virtual Result_Ptr result() = 0;

    std::shared_ptr<Job_Object> shared_result() override {
        auto keep = std::make_shared<Result_Ptr>(result());
        T* obj = keep->get();
        if (!obj)
            return {};
        return std::shared_ptr<Job_Object>(keep, obj);
    }
};

template <class T>
class Object_Creator_T {
public:
    virtual ~Object_Creator_T() = default;
    virtual int init(int, char**) { return 0; }
    virtual int fini() { return 0; }
    virtual T* create() = 0;
    virtual void destroy(T* obj) = 0;
};

// The signature every exported factory shares: the out-parameter receives
// the matching destroyer.
typedef void (*Gobble_Function)(void*);
typedef void* (*Make_Function)(Gobble_Function*);

#endif
