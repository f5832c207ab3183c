// A creator of parsers of class P, handed to the host through an exported
// factory.
#ifndef JOB_DEF_OBJECT_CREATOR_IMPL_T_H
#define JOB_DEF_OBJECT_CREATOR_IMPL_T_H

#include <cerrno>
#include <new>

#include "host/job/job_object.h"
#include "qorm/guard.h"

template <class Base, class P>
class Object_Creator_Impl_T : public Object_Creator_T<Base> {
public:
    Base* create() override {
        P* p = qorm::guarded("create a parser", static_cast<P*>(nullptr),
                             [] { return new (std::nothrow) P(); });
        if (!p)
            errno = ENOMEM;
        return p;
    }
    void destroy(Base* obj) override { delete obj; }
};

#endif
