// SPDX-License-Identifier: MIT
#include "tests/harness.h"

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    harness_init();
    return RUN_ALL_TESTS();
}
