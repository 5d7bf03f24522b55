// SPDX-License-Identifier: MIT
// The worker: one detached thread per request record (except CMD_EXIT).
#pragma once

#include <cstddef>

#include "server/server.h"

// Thread start routine. Owns the malloc'ed RECORD_SIZE copy from entry and
// wipes and frees it, its buffers and its descriptors on every path.
void* thread_instance(void* record);

// ---- transfer.cpp: the decrypting commands --------------------------------
// Each opens the reply FIFO into *reply (left -1 when five attempts failed)
// and streams the decrypted file through in and out (LOAD_SIZE each; null
// when they could not be allocated: then the reply is closed with no data).
// Returns false when the run ends early (the data file could not be opened);
// the frame then prints neither of its closing traces.
bool transfer_whole_file(const pipe_request* req, unsigned char* in, unsigned char* out, int* reply);
bool transfer_first_load(const pipe_request* req, unsigned char* in, unsigned char* out, int* reply);

// The request's 20-byte key: the key string without its '-' characters,
// decoded into zeros. Wipes its own copies.
void transfer_key_from_text(const char* key_string, unsigned char key[20]);

// Decrypts the whole blocks of in[0 .. have) into out. When keep_rest, the
// 0 to 7 bytes after them move to the front of in and *rest says how many;
// otherwise they are copied to out as they are. Returns the bytes ready in out.
size_t transfer_decrypt_load(struct thei99_dsa* ctx, unsigned char* in, unsigned char* out, size_t have,
                             bool keep_rest, size_t* rest);
