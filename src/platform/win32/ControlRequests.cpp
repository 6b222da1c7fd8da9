#include "platform/ControlRequests.h"

#include <mutex>

#include <windows.h>

namespace Telvar {
namespace Platform {

namespace {

std::mutex g_lock;
ControlHandler g_handler;  // guarded by g_lock

// The system calls this on a thread of its own. Windows has no reconfigure
// request: every event taken here asks to stop.
BOOL WINAPI onConsoleControl(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    ControlHandler handler;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        handler = g_handler;
    }
    if (!handler)
        return FALSE;
    handler(ControlRequest::STOP);
    return TRUE;
}

} // namespace

bool startControlRequests(ControlHandler handler)
{
    std::lock_guard<std::mutex> guard(g_lock);
    bool first = !g_handler;
    g_handler = std::move(handler);
    if (!first)
        return true;
    // A console started with Ctrl+C ignored (a background start) would keep
    // it away from the handler.
    ::SetConsoleCtrlHandler(nullptr, FALSE);
    if (!::SetConsoleCtrlHandler(onConsoleControl, TRUE)) {
        g_handler = nullptr;
        return false;
    }
    return true;
}

} // namespace Platform
} // namespace Telvar
