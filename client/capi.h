// SPDX-License-Identifier: MIT
// What the C API's files share: the export mark, the check of a call's
// arguments and the calling thread's last failure.
#pragma once

#include "client/failure.h"

#define TESSARIND_API extern "C" __attribute__((visibility("default")))

// Keeps f's line for tessarind_last_error; errno stays.
void capi_remember(const client_failure& f);
// NULL arguments are EINVAL; the key text is checked once, here. False with
// errno and the line kept.
bool capi_arguments_usable(const char* path, const char* key_text);
