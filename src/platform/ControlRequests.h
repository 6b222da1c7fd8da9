#pragma once

#include <functional>

namespace Telvar {
namespace Platform {

// Requests that reach a service from outside its own channels: stop (the
// service manager's or the terminal's interrupt: SIGTERM and SIGINT on
// Linux) and reconfigure (SIGHUP).
enum class ControlRequest { STOP, RECONFIGURE };
using ControlHandler = std::function<void(ControlRequest request)>;

// Routes the requests to handler, called on a thread of its own (never in
// a signal context, so it may take locks and post messages). Call it before
// the process makes any other thread: they inherit that the signals are
// kept away from them. False when the routing cannot be set up.
bool startControlRequests(ControlHandler handler);

} // namespace Platform
} // namespace Telvar
