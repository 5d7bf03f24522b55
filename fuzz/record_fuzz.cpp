// SPDX-License-Identifier: MIT
// Any read of 1 to 769 bytes from the public FIFO, as the request loop and
// the worker take it: in a zeroed buffer (the loop wipes it after every
// record), parsed into bounded fields, key decoded.
// AddressSanitizer catches any read beyond the record.
#include <cstring>
#include <vector>

#include "fuzz/fuzz.h"
#include "common/common.h"
#include "crypto/crypto.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    if (size < 1 || size > RECORD_SIZE)
        return 0;
    std::vector<unsigned char> record(RECORD_SIZE, 0);
    memcpy(record.data(), data, size);

    pipe_request req;
    record_parse(record.data(), &req);
    FUZZ_CHECK(req.command == data[0]);
    const struct {
        const char* text;
        size_t offset;
    } fields[] = {{req.reply_path, REPLY_PATH_OFFSET}, {req.file_path, FILE_PATH_OFFSET}, {req.key_string, KEY_STRING_OFFSET}};
    for (const auto& f : fields) {
        const size_t len = strlen(f.text);
        FUZZ_CHECK(len <= FIELD_SIZE);
        FUZZ_CHECK(memcmp(f.text, record.data() + f.offset, len) == 0);
        FUZZ_CHECK(len == FIELD_SIZE || record[f.offset + len] == 0);
        // The fallback's refusal by name: every relative path is refused.
        FUZZ_CHECK(path_names_proc(f.text) || f.text[0] == '/');
    }
    unsigned char key[KEY_SIZE];
    crypto_key_from_text(req.key_string, key, KEY_SIZE);
    return 0;
}
