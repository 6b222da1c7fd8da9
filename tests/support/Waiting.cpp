#include "support/Waiting.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/Process.h"

namespace Telvar {
namespace Testing {

bool waitFor(const std::function<bool()>& condition, int ms)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::string slotName(const std::string& what)
{
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string suite = test != nullptr ? test->test_suite_name() : "Test";
    return suite + "_" + std::to_string(Platform::currentProcessId()) + "_" + what;
}

} // namespace Testing
} // namespace Telvar
