// The outcome half of the Excel class: running the job, processing the worker's answer,
// the getters over it and the worker-error hook. The class itself is built in excel_job.cpp.
#pragma once

#include "binder.hpp"

namespace quillon::excel {

void add_result_members(quillon::bind::ClassBuilder &cls);

}  // namespace quillon::excel
