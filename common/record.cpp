// SPDX-License-Identifier: MIT
#include "common/common.h"

#include <cstring>

void record_field(const unsigned char record[RECORD_SIZE], size_t offset, char out[FIELD_SIZE + 1])
{
    const unsigned char* field = record + offset;
    const void* nul = memchr(field, 0, FIELD_SIZE);
    const size_t len = nul ? (size_t)((const unsigned char*)nul - field) : FIELD_SIZE;
    memcpy(out, field, len);
    out[len] = '\0';
}

void record_parse(const unsigned char record[RECORD_SIZE], pipe_request* req)
{
    req->command = record[0];
    record_field(record, REPLY_PATH_OFFSET, req->reply_path);
    record_field(record, FILE_PATH_OFFSET, req->file_path);
    record_field(record, KEY_STRING_OFFSET, req->key_string);
}

bool record_well_formed(const unsigned char record[RECORD_SIZE])
{
    const auto path = [&](size_t offset) {
        return record[offset] == '/' && memchr(record + offset, 0, FIELD_SIZE) != nullptr;
    };
    const unsigned char command = record[0];
    if (command == CMD_DECRYPT_FILE || command == CMD_DECRYPT_CHUNK)
        return path(REPLY_PATH_OFFSET) && path(FILE_PATH_OFFSET);
    return path(REPLY_PATH_OFFSET);
}
