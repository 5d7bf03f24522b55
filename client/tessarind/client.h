/* SPDX-License-Identifier: MIT */
/*
 * Client library of tessarind, the Blowfish-ECB decryption daemon: asks the
 * daemon over its FIFOs and hands back the plain data. Thread-safe: every
 * call makes its own reply FIFO (in a private directory in /tmp, whatever
 * TMPDIR says).
 *
 * timeout_ms bounds each wait for the daemon (-1: no limit); data that keeps
 * flowing is never cut off. 0 tries once without waiting: the request goes
 * only if the daemon's FIFO takes it at once (else EBUSY), is never asked
 * again, and its reply is read as it comes.
 *
 * On failure, errno says what went wrong:
 *   ECONNREFUSED  no daemon: the public FIFO is missing, or nobody reads it
 *   ETIMEDOUT     the daemon did not answer, or the reply stalled, in time
 *   EBUSY         the daemon serves all it may and its FIFO stayed full
 *   EACCES        not allowed to write the public FIFO (the group tessarind
 *                 may), or the file is not readable
 *   ENOENT        the file does not exist
 *   EINVAL        a NULL argument, the file is not a regular file, what
 *                 sits at /tmp/TALV_PIPE is not a FIFO, or the
 *                 key text holds anything but base64 characters, '-'
 *                 separators, '=' padding at the end and white space
 *                 around it, decodes to no bytes, or is hex digits alone,
 *                 32, 40, 48 or 64 of them, not decoding to 20 bytes
 *   ENAMETOOLONG  the file's absolute path or the key text is longer than
 *                 255 bytes
 *   ESTALE        the reply has another length than the file had, and the
 *                 file's size changed since: it changed while served
 *   EIO           the reply is shorter than the file (or its first load):
 *                 the daemon could not read the file (an empty reply: never
 *                 asked again), or stopped mid-reply
 *   EPERM         /tmp/TALV_PIPE is not the daemon's: a FIFO owned by another
 *                 user than root, the caller or tessarind, or readable by
 *                 group or others; nothing was sent to it
 *   EPROTO        the daemon answered something unexpected, or more bytes
 *                 than it sends (somebody else wrote into the reply FIFO)
 *   anything else a system call set.
 * tessarind_last_error() then says it in a line naming the path.
 */
#ifndef TESSARIND_CLIENT_H
#define TESSARIND_CLIENT_H

#include <stddef.h>

/* The version of the protocol and the library this header describes. */
#define TESSARIND_VERSION_MAJOR 1
#define TESSARIND_VERSION_MINOR 19

#ifdef __cplusplus
extern "C" {
#endif

/* 0 once the daemon answered "OK"; -1 with errno. */
int tessarind_ping(int timeout_ms);

/* 0 once the daemon answered "BYE" (it then ends; under systemd, until the next request). */
int tessarind_stop(int timeout_ms);

/* The plain data of the file at path (made absolute here), or of its first
 * 262144 bytes when first_load is nonzero: a malloc'd buffer of *len bytes,
 * to be released with tessarind_free. NULL with errno on failure. key_text
 * is the base64 key text; '-' characters in it are ignored. */
void *tessarind_decrypt(const char *path, const char *key_text, int first_load, size_t *len, int timeout_ms);

/* The same, written to out_fd as it comes: the number of bytes written, or
 * -1 with errno (bytes may have been written by then). */
long long tessarind_decrypt_fd(const char *path, const char *key_text, int first_load, int out_fd,
                               int timeout_ms);

/* The request for the file at path, whose plain data is read from the
 * descriptor returned, as it comes, until end of file: read(2) it, or watch
 * it with poll, epoll or an event loop (O_NONBLOCK is set; the caller may
 * clear it). The file and the key are checked, and the request sent, before
 * it returns; -1 with errno otherwise. Every descriptor it returns is given
 * back with tessarind_close, never close(2). timeout_ms bounds each wait for
 * the daemon's data, not the caller's reading. A thread of the library
 * carries the reply until then, in this process only: a child made by
 * fork(2) may close(2) its copy, never tessarind_close it. */
int tessarind_open(const char *path, const char *key_text, int first_load, int timeout_ms);

/* Closes a descriptor of tessarind_open, releasing all it held, and says
 * whether what was read from it was the whole reply: 0, or -1 with errno as
 * for tessarind_decrypt (EIO, ESTALE, EPROTO, ETIMEDOUT), ECANCELED when it
 * is closed before the end of the reply was read, EBADF when fd is not
 * one. A reply cut short is not asked again: part of it was handed over. */
int tessarind_close(int fd);

/* The calling thread's last failed call, as one line naming the path it is
 * about and the cause: what tessarind-client prints, without its
 * "tessarind-client: ". "" before any failure; a call that succeeds leaves
 * it as it was. */
const char *tessarind_last_error(void);

/* Wipes the plain data, then frees it. */
void tessarind_free(void *plaintext, size_t len);

/* The version of the protocol and the library: "1.19". */
const char *tessarind_version(void);

#ifdef __cplusplus
}
#endif

#endif
