// SPDX-License-Identifier: MIT
// The wire protocol, shared by the daemon and its clients: the public FIFO,
// the fixed 769-byte request record and the command codes.
#pragma once

#include <cstddef>

inline constexpr const char PUBLIC_FIFO_PATH[] = "/tmp/TALV_PIPE";

// Record layout: command byte, then three 256-byte text fields, each meant to
// end in a NUL inside its 256 bytes. No header, length or checksum.
inline constexpr size_t RECORD_SIZE = 769;
inline constexpr size_t FIELD_SIZE = 256;
inline constexpr size_t REPLY_PATH_OFFSET = 1;
inline constexpr size_t FILE_PATH_OFFSET = 257;
inline constexpr size_t KEY_STRING_OFFSET = 513;

enum : unsigned char {
    CMD_DECRYPT_FILE = 0,
    CMD_PING = 1,
    CMD_EXIT = 2,
    CMD_DECRYPT_CHUNK = 3,
};

// The key: what the key text decodes to, zero-filled or cut to 20 bytes
// (crypto_key_from_text), always taken whole by the cipher.
inline constexpr int KEY_SIZE = 20;

// One load: the size of each worker buffer and of each read of a data file.
inline constexpr size_t LOAD_SIZE = 262144;
