#include <gtest/gtest.h>

#include "support/ChildMain.h"

int main(int argc, char** argv)
{
    int code = 0;
    if (Telvar::Testing::runChild(argc, argv, code))
        return code;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
