#include "common/IPC.h"

namespace Telvar {

IPC::~IPC() = default;

} // namespace Telvar
