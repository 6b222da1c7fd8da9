// HttpModule::get where the HTTP library is part of the program (the
// Windows build: no TLS libraries to spare, nothing to load).

#include "ravlon/HttpModule.h"

namespace Telvar {

const HttpModule* HttpModule::get(std::string&) { return ravlonHttpModule(); }

} // namespace Telvar
