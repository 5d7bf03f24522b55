/* SPDX-License-Identifier: MIT */
/* Counts the lines of the plain data of every FILE, all decrypted at once
 * through one poll loop, as an event loop would read them: prints
 * "LINES FILE" for each as it ends, like wc -l.
 * Build: cc stream.c $(pkg-config --cflags --libs tessarind-client) */
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <tessarind/client.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s KEY FILE...\n", argv[0]);
        return 2;
    }
    const int n = argc - 2;
    struct pollfd *fds = calloc((size_t)n, sizeof *fds);
    long long *lines = calloc((size_t)n, sizeof *lines);
    int status = 0, left = 0;
    if (!fds || !lines)
        return 1;
    for (int i = 0; i < n; i++) {
        fds[i].fd = tessarind_open(argv[2 + i], argv[1], 0, 5000);
        fds[i].events = POLLIN;
        if (fds[i].fd < 0) {
            fprintf(stderr, "stream: %s\n", tessarind_last_error());
            status = 1;
        }
        left += fds[i].fd >= 0;
    }
    while (left > 0) {
        if (poll(fds, (nfds_t)n, -1) < 0 && errno != EINTR)
            return 1;
        for (int i = 0; i < n; i++) {
            char buf[65536];
            const ssize_t got = fds[i].fd >= 0 && fds[i].revents ? read(fds[i].fd, buf, sizeof buf) : -1;
            for (ssize_t k = 0; k < got; k++)
                lines[i] += buf[k] == '\n';
            if (got != 0)
                continue; /* more to come, or EAGAIN */
            /* The end: whether it was the whole reply. */
            if (tessarind_close(fds[i].fd) == 0) {
                printf("%lld %s\n", lines[i], argv[2 + i]);
            } else {
                fprintf(stderr, "stream: %s\n", tessarind_last_error());
                status = 1;
            }
            fds[i].fd = -1;
            left--;
        }
    }
    free(fds);
    free(lines);
    return status;
}
