// No windows here: the program is told to end by signals (ControlRequests.h).
#include "platform/MessageWindow.h"

namespace Telvar {
namespace Platform {

uint32_t registerWindowClass(const WindowClass&) { return ERR_NOT_SUPPORTED; }

uint32_t createHiddenWindow(const std::string&, const std::string&, uint32_t, WindowHandle& window)
{
    window = 0;
    return ERR_NOT_SUPPORTED;
}

uint32_t destroyWindow(WindowHandle) { return ERR_NOT_SUPPORTED; }

WindowHandle findWindow(const std::string&, const std::string&) { return 0; }

uint32_t postWindowMessage(WindowHandle, uint32_t, int64_t, int64_t) { return ERR_NOT_SUPPORTED; }

int64_t sendWindowMessage(WindowHandle, uint32_t, int64_t, int64_t) { return 0; }

// Every message here is a thread message: nothing to hand on.
void dispatchMessage(const ThreadMessage&) {}

} // namespace Platform
} // namespace Telvar
