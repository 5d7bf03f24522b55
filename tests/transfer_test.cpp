// SPDX-License-Identifier: MIT
// Decrypting transfers through the real daemon.
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "client/client.h"
#include "tests/harness.h"

TEST_F(DaemonTest, Placeholder) {}
