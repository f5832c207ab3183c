#include "host/json_spirit/yajl_gen_value.h"
#include "smartx/job/job_value.h"

namespace smartx {

int Job_Value::generate_value(yajl_gen g) const {
    return yajl_gen_value(g, value_);
}

}  // namespace smartx
