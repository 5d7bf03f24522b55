// SPDX-License-Identifier: MIT
#include "crypto/crypto.h"

#include <cstring>

void crypto_wipe(void* p, size_t len)
{
    explicit_bzero(p, len);
}
