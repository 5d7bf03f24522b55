// SPDX-License-Identifier: MIT
#include "crypto/crypto.h"

#include <cstring>

void crypto_wipe(void* p, size_t len)
{
    explicit_bzero(p, len);
}

void crypto_wipe_stack()
{
    unsigned char scratch[32 * 1024];
    explicit_bzero(scratch, sizeof scratch);
}
