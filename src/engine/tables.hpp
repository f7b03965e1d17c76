// The process-wide device configuration and behaviour table.
#pragma once

#include "../py/ref.hpp"

namespace engine {

py::Ref make_device_config();
py::Ref make_behaviour_table();

} // namespace engine
