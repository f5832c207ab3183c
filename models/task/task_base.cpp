#include "models/task/task_base.h"

Task_Base::~Task_Base() = default;
