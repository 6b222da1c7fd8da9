#pragma once

#include <cstdint>
#include <string>

#include "platform/SystemError.h"
#include "platform/Thread.h"

namespace Telvar {
namespace Platform {

// The hidden top-level window of a windowless program: it is never shown
// and exists only so that the system can ask the program to end (session
// end, close). Windows only; elsewhere there are no windows and the calls
// that make one answer ERR_NOT_SUPPORTED.
//
// Its window procedure, fixed for every class registered here:
//   MSG_DESTROY          posts MSG_QUIT with code 0 to the calling thread, 0
//   MSG_QUERYENDSESSION  1 (the session may end)
//   MSG_QUIT             0
//   anything else        the system's default handling

using WindowHandle = uint64_t;  // 0 is never a window

constexpr uint32_t MSG_QUERYENDSESSION = 0x11;

// Class style bits and the "use the default" window size (Win32 values).
constexpr uint32_t CLASS_STYLE_VREDRAW = 0x0001;
constexpr uint32_t CLASS_STYLE_HREDRAW = 0x0002;
constexpr uint32_t CLASS_STYLE_OWNDC = 0x0020;
constexpr int32_t WINDOW_DEFAULT_SIZE = static_cast<int32_t>(0x80000000);

// A window class with the system's default application icon and the arrow
// cursor; background is a brush number (a system colour index + 1).
struct WindowClass {
    std::string name;
    uint32_t style = 0;
    int32_t background = 0;
    std::string menuName;
};

// ERR_SUCCESS or the error number; registering a class twice answers
// ERR_CLASS_ALREADY_EXISTS.
uint32_t registerWindowClass(const WindowClass& windowClass);

// A top-level window of a registered class at (0, 0) with the default size,
// no extended style, no parent, no menu, not shown. It belongs to the
// calling thread: its messages arrive in that thread's queue.
uint32_t createHiddenWindow(const std::string& className, const std::string& title, uint32_t style,
                            WindowHandle& window);

uint32_t destroyWindow(WindowHandle window);

// A top-level window of any process by class and title; 0 when there is none.
WindowHandle findWindow(const std::string& className, const std::string& title);

// Posts to a window's queue (its thread's), or calls its procedure and
// answers the result.
uint32_t postWindowMessage(WindowHandle window, uint32_t message, int64_t wParam, int64_t lParam);
int64_t sendWindowMessage(WindowHandle window, uint32_t message, int64_t wParam, int64_t lParam);

// Hands a message taken from the queue to its window's procedure (after
// the keyboard translation); a thread message (window 0) has none.
void dispatchMessage(const ThreadMessage& message);

} // namespace Platform
} // namespace Telvar
