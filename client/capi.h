// SPDX-License-Identifier: MIT
// What the C API's files share: the export mark, the check of a call's
// arguments and the calling thread's last failure.
#pragma once

#include "client/failure.h"

#define TESSARIND_API extern "C" __attribute__((visibility("default")))

// Keeps f's line for tessarind_last_error; errno stays.
void capi_remember(const client_failure& f);
// A failed decryption of path (err, t's stage and counts) kept the same way;
// output names where the plain data went.
void capi_remember_decrypt(const char* path, int timeout_ms, const client_transfer& t, int err,
                           const char* output = "");
// NULL arguments are EINVAL; the key text is checked once, here. False with
// errno and the line kept.
bool capi_arguments_usable(const char* path, const char* key_text);
