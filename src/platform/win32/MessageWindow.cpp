#include "platform/MessageWindow.h"

#include <windows.h>

namespace Telvar {
namespace Platform {

namespace {

HWND toWindow(WindowHandle window) { return reinterpret_cast<HWND>(static_cast<uintptr_t>(window)); }

LRESULT CALLBACK hiddenWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_DESTROY:
        ::PostQuitMessage(0);
        return 0;
    case WM_QUERYENDSESSION:
        return 1;
    case WM_QUIT:
        return 0;
    default:
        return ::DefWindowProcA(window, message, wParam, lParam);
    }
}

uint32_t lastError()
{
    DWORD error = ::GetLastError();
    return error == ERROR_SUCCESS ? ERR_GEN_FAILURE : static_cast<uint32_t>(error);
}

} // namespace

uint32_t registerWindowClass(const WindowClass& windowClass)
{
    WNDCLASSA wc{};
    wc.style = windowClass.style;
    wc.lpfnWndProc = hiddenWindowProcedure;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = ::GetModuleHandleA(nullptr);
    wc.hIcon = ::LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION));
    wc.hCursor = ::LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<intptr_t>(windowClass.background));
    wc.lpszMenuName = windowClass.menuName.c_str();
    wc.lpszClassName = windowClass.name.c_str();
    return ::RegisterClassA(&wc) != 0 ? ERR_SUCCESS : lastError();
}

uint32_t createHiddenWindow(const std::string& className, const std::string& title, uint32_t style,
                            WindowHandle& window)
{
    HWND created = ::CreateWindowExA(0, className.c_str(), title.c_str(), style, 0, 0, CW_USEDEFAULT,
                                     CW_USEDEFAULT, nullptr, nullptr, ::GetModuleHandleA(nullptr), nullptr);
    if (created == nullptr)
        return lastError();
    window = static_cast<WindowHandle>(reinterpret_cast<uintptr_t>(created));
    return ERR_SUCCESS;
}

uint32_t destroyWindow(WindowHandle window)
{
    return ::DestroyWindow(toWindow(window)) ? ERR_SUCCESS : lastError();
}

WindowHandle findWindow(const std::string& className, const std::string& title)
{
    return static_cast<WindowHandle>(reinterpret_cast<uintptr_t>(::FindWindowA(className.c_str(), title.c_str())));
}

uint32_t postWindowMessage(WindowHandle window, uint32_t message, int64_t wParam, int64_t lParam)
{
    return ::PostMessageA(toWindow(window), message, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam))
               ? ERR_SUCCESS
               : lastError();
}

int64_t sendWindowMessage(WindowHandle window, uint32_t message, int64_t wParam, int64_t lParam)
{
    return static_cast<int64_t>(
        ::SendMessageA(toWindow(window), message, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam)));
}

void dispatchMessage(const ThreadMessage& message)
{
    MSG msg{};
    msg.hwnd = toWindow(message.window);
    msg.message = message.message;
    msg.wParam = static_cast<WPARAM>(message.wParam);
    msg.lParam = static_cast<LPARAM>(message.lParam);
    msg.time = static_cast<DWORD>(::GetMessageTime());
    DWORD position = static_cast<DWORD>(::GetMessagePos());
    msg.pt.x = static_cast<short>(LOWORD(position));
    msg.pt.y = static_cast<short>(HIWORD(position));
    ::TranslateMessage(&msg);
    ::DispatchMessageA(&msg);
}

} // namespace Platform
} // namespace Telvar
