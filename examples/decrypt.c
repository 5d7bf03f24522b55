/* SPDX-License-Identifier: MIT */
/* Decrypts FILE with KEY through the tessarind daemon, to standard output.
 * With --memory the whole reply is held in memory first; --stop stops the
 * daemon. A failure is told as tessarind-client tells it.
 * Build: cc decrypt.c $(pkg-config --cflags --libs tessarind-client) */
#include <stdio.h>
#include <string.h>
#include <tessarind/client.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    const int memory = argc == 4 && strcmp(argv[1], "--memory") == 0;
    if (argc == 2 && strcmp(argv[1], "--stop") == 0)
        return tessarind_stop(5000) == 0 ? 0 : (fprintf(stderr, "decrypt: %s\n", tessarind_last_error()), 1);
    if (argc != 3 + memory) {
        fprintf(stderr, "usage: %s [--memory] FILE KEY | --stop (protocol %s)\n", argv[0], tessarind_version());
        return 2;
    }
    const char *file = argv[1 + memory], *key = argv[2 + memory];
    if (!memory) {
        if (tessarind_decrypt_fd(file, key, 0, STDOUT_FILENO, 5000) >= 0)
            return 0;
        fprintf(stderr, "decrypt: %s\n", tessarind_last_error());
        return 1;
    }
    size_t len;
    void *plain = tessarind_decrypt(file, key, 0, &len, 5000);
    if (!plain) {
        fprintf(stderr, "decrypt: %s\n", tessarind_last_error());
        return 1;
    }
    const int ok = fwrite(plain, 1, len, stdout) == len;
    tessarind_free(plain, len);
    return ok ? 0 : 1;
}
