#include "cycle_record/cycle_record.h"

namespace kiv::cycle_record {

std::string default_context_name() { return "normal"; }

}  // namespace kiv::cycle_record
