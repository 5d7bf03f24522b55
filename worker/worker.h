// SPDX-License-Identifier: MIT
// The worker: one thread per request record (except CMD_EXIT).
#pragma once

#include "server/server.h"

// Thread start routine. Owns the malloc'ed RECORD_SIZE copy from entry and
// wipes and frees it, its buffers and its descriptors on every path.
void* thread_instance(void* record);

// The log's line for a request that failed with err: the command, the reply
// and data paths (escaped), the error; never the key.
void worker_log_failure(const pipe_request* req, int err);

// ---- transfer.cpp: the decrypting commands --------------------------------
// Each opens the reply FIFO into *reply (left -1 when five attempts failed)
// and streams the decrypted file through in and out (LOAD_SIZE each; null
// when they could not be allocated: then the reply is closed with no data).
// Returns false when the run ends early (the data file could not be opened);
// the frame then prints neither of its closing traces.
bool transfer_whole_file(const pipe_request* req, unsigned char* in, unsigned char* out, int* reply);
bool transfer_first_load(const pipe_request* req, unsigned char* in, unsigned char* out, int* reply);
