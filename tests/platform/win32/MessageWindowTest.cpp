// The hidden window of a windowless program, on the real window manager
// (wine's null display driver in CI).
#include "platform/MessageWindow.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Process.h"

using namespace Telvar::Platform;

namespace {

std::string uniqueClass(const char* stem) { return stem + std::to_string(currentProcessId()); }

uint32_t makeWindow(const std::string& className, WindowHandle& window)
{
    WindowClass wc;
    wc.name = className;
    wc.style = CLASS_STYLE_VREDRAW | CLASS_STYLE_HREDRAW | CLASS_STYLE_OWNDC;
    wc.background = 6;
    wc.menuName = "TestMenu";
    uint32_t rc = registerWindowClass(wc);
    if (rc != ERR_SUCCESS)
        return rc;
    return createHiddenWindow(className, "Hidden", 0x00FF0000, window);
}

// Everything waiting in this thread's queue, dispatched; what it held.
std::vector<uint32_t> pump()
{
    std::vector<uint32_t> seen;
    ThreadMessage message;
    while (peekThreadMessage(message)) {
        seen.push_back(message.message);
        dispatchMessage(message);
    }
    return seen;
}

TEST(MessageWindowTest, ProcedureLetsTheSessionEndAndAClassIsRegisteredOnce)
{
    const std::string name = uniqueClass("ProcTest");
    WindowHandle window = 0;
    ASSERT_EQ(ERR_SUCCESS, makeWindow(name, window));
    ASSERT_NE(0u, window);
    EXPECT_EQ(window, findWindow(name, "Hidden"));

    EXPECT_EQ(1, sendWindowMessage(window, MSG_QUERYENDSESSION, 0, 0));
    EXPECT_EQ(0, sendWindowMessage(window, MSG_QUIT, 0, 0));

    WindowClass again;
    again.name = name;
    EXPECT_EQ(ERR_CLASS_ALREADY_EXISTS, registerWindowClass(again));

    // Destroyed, the procedure asks this thread's loop to end with code 0.
    ASSERT_EQ(ERR_SUCCESS, destroyWindow(window));
    ThreadMessage message;
    ASSERT_TRUE(peekThreadMessage(message));
    EXPECT_EQ(MSG_QUIT, message.message);
    EXPECT_EQ(0, message.wParam);
    EXPECT_EQ(0u, findWindow(name, "Hidden"));
    EXPECT_NE(ERR_SUCCESS, postWindowMessage(window, MSG_CLOSE, 0, 0));
}

TEST(MessageWindowTest, PostedCloseArrivesInTheQueueAndItsDispatchEndsTheLoop)
{
    WindowHandle window = 0;
    ASSERT_EQ(ERR_SUCCESS, makeWindow(uniqueClass("CloseTest"), window));
    ASSERT_EQ(ERR_SUCCESS, postWindowMessage(window, MSG_CLOSE, 0, 0));

    // The loop sees the close as a window message before anything handles it.
    ThreadMessage message;
    ASSERT_EQ(1, getThreadMessage(message));
    EXPECT_EQ(MSG_CLOSE, message.message);
    EXPECT_EQ(window, message.window);

    // Handed on, the default handling destroys the window and the quit follows.
    dispatchMessage(message);
    ASSERT_EQ(0, getThreadMessage(message));
    EXPECT_TRUE(pump().empty());
}

} // namespace
