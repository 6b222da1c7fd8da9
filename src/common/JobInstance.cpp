#include "common/JobInstance.h"

namespace Telvar {

JobInstance::~JobInstance() = default;

} // namespace Telvar
