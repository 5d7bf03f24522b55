/* SPDX-License-Identifier: MIT */
/* Decrypts FILE with KEY through the tessarind daemon, to standard output.
 * With --memory the whole reply is held in memory first; --stop stops the
 * daemon. Build: cc decrypt.c $(pkg-config --cflags --libs tessarind-client) */
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <tessarind/client.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    const int memory = argc == 4 && strcmp(argv[1], "--memory") == 0;
    if (argc == 2 && strcmp(argv[1], "--stop") == 0)
        return tessarind_stop(5000) == 0 ? 0 : (perror("tessarind_stop"), 1);
    if (argc != 3 + memory) {
        fprintf(stderr, "usage: %s [--memory] FILE KEY | --stop (protocol %s)\n", argv[0], tessarind_version());
        return 2;
    }
    if (tessarind_ping(5000) < 0) {
        fprintf(stderr, "no daemon: %s\n", strerror(errno));
        return 1;
    }
    const char *file = argv[1 + memory], *key = argv[2 + memory];
    if (!memory)
        return tessarind_decrypt_fd(file, key, 0, STDOUT_FILENO, 5000) < 0 ? (perror(file), 1) : 0;
    size_t len;
    void *plain = tessarind_decrypt(file, key, 0, &len, 5000);
    if (!plain) {
        perror(file);
        return 1;
    }
    const int ok = fwrite(plain, 1, len, stdout) == len;
    tessarind_free(plain, len);
    return ok ? 0 : 1;
}
