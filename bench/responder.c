/* The benchmark's reader: answers every read of holding registers at once,
 * with one write and nothing else, so all clients meet the same peer. It
 * serves the master side of a pty and a loopback listener from one poll loop
 * and stays silent for stations other than its own (the waiting test). */
#include "responder.h"

#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

enum { kMaxClients = 8, kBufSize = 4096 };

typedef struct {
    int fd;
    size_t len;
    unsigned char buf[kBufSize];
} Conn;

static unsigned short Crc16(const unsigned char *p, size_t n) {
    unsigned short crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b)
            crc = (crc & 1) ? (unsigned short)((crc >> 1) ^ 0xA001) : (unsigned short)(crc >> 1);
    }
    return crc;
}

/* Register values the clients check: address a holds 0x1000 + a. */
static size_t PutRegisters(unsigned char *out, unsigned addr, unsigned count) {
    size_t n = 0;
    out[n++] = (unsigned char)(2 * count);
    for (unsigned i = 0; i < count; ++i) {
        unsigned v = (0x1000u + addr + i) & 0xFFFFu;
        out[n++] = (unsigned char)(v >> 8);
        out[n++] = (unsigned char)(v & 0xFF);
    }
    return n;
}

static void Drop(Conn *c, size_t n) {
    memmove(c->buf, c->buf + n, c->len - n);
    c->len -= n;
}

static void WriteOnce(int fd, const unsigned char *p, size_t n, int sock) {
    ssize_t w = sock ? send(fd, p, n, MSG_NOSIGNAL) : write(fd, p, n);
    (void)w; /* a client that left mid-reply is no concern of the peer */
}

static void ServeRtu(Conn *c) {
    while (c->len >= 8) {
        const unsigned char *f = c->buf;
        if (f[1] != 0x03 || Crc16(f, 8) != 0) {
            Drop(c, 1); /* resynchronise on the next byte */
            continue;
        }
        unsigned addr = (unsigned)f[2] << 8 | f[3], count = (unsigned)f[4] << 8 | f[5];
        if (f[0] == BENCH_STATION && count >= 1 && count <= 125) {
            unsigned char r[260];
            size_t n = 0;
            r[n++] = f[0];
            r[n++] = 0x03;
            if (addr >= BENCH_MISSING_ADDRESS) {
                r[1] = 0x83;
                r[n++] = 0x02;
            } else {
                n += PutRegisters(r + n, addr, count);
            }
            unsigned short crc = Crc16(r, n);
            r[n++] = (unsigned char)(crc & 0xFF);
            r[n++] = (unsigned char)(crc >> 8);
            WriteOnce(c->fd, r, n, 0);
        }
        Drop(c, 8);
    }
}

static void ServeTcp(Conn *c) {
    while (c->len >= 7) {
        const unsigned char *f = c->buf;
        size_t total = 6 + ((size_t)f[4] << 8 | f[5]);
        if (total < 8 || total > kBufSize) {
            c->len = 0;
            return;
        }
        if (c->len < total) return;
        if (total == 12 && f[6] == BENCH_STATION && f[7] == 0x03) {
            unsigned addr = (unsigned)f[8] << 8 | f[9], count = (unsigned)f[10] << 8 | f[11];
            if (count >= 1 && count <= 125) {
                unsigned char r[270];
                const int missing = addr >= BENCH_MISSING_ADDRESS;
                size_t n = 2 + (missing ? 1 : PutRegisters(r + 8, addr, count));
                if (missing) r[8] = 0x02;
                r[0] = f[0];
                r[1] = f[1];
                r[2] = r[3] = 0;
                r[4] = (unsigned char)(n >> 8); /* unit, function and data */
                r[5] = (unsigned char)(n & 0xFF);
                r[6] = f[6];
                r[7] = missing ? 0x83 : 0x03;
                WriteOnce(c->fd, r, n + 6, 1);
            }
        }
        Drop(c, total);
    }
}

void BenchResponderRun(int ptyMaster, int listenFd, int stopFd) {
    static Conn pty, tcp[kMaxClients];
    pty.fd = ptyMaster;
    pty.len = 0;
    for (int i = 0; i < kMaxClients; ++i) tcp[i].fd = -1;
    for (;;) {
        struct pollfd p[3 + kMaxClients];
        Conn *of[3 + kMaxClients];
        int n = 0;
        p[n].fd = stopFd, p[n].events = POLLIN, of[n++] = NULL;
        p[n].fd = listenFd, p[n].events = POLLIN, of[n++] = NULL;
        p[n].fd = ptyMaster, p[n].events = POLLIN, of[n++] = &pty;
        for (int i = 0; i < kMaxClients; ++i)
            if (tcp[i].fd >= 0) p[n].fd = tcp[i].fd, p[n].events = POLLIN, of[n++] = &tcp[i];
        if (poll(p, (nfds_t)n, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (p[0].revents) return; /* the bench closed its end: done */
        if (p[1].revents & POLLIN) {
            int fd = accept(listenFd, NULL, NULL);
            if (fd >= 0) {
                int one = 1, i;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                for (i = 0; i < kMaxClients && tcp[i].fd >= 0; ++i) {
                }
                if (i < kMaxClients) {
                    tcp[i].fd = fd;
                    tcp[i].len = 0;
                } else {
                    close(fd);
                }
            }
        }
        for (int k = 2; k < n; ++k) {
            if (!(p[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            Conn *c = of[k];
            ssize_t r = read(c->fd, c->buf + c->len, kBufSize - c->len);
            if (r > 0) {
                c->len += (size_t)r;
                if (c == &pty)
                    ServeRtu(c);
                else
                    ServeTcp(c);
                if (c->len == kBufSize) c->len = 0;
            } else if (c != &pty && (r == 0 || (errno != EAGAIN && errno != EINTR))) {
                close(c->fd);
                c->fd = -1;
            }
        }
    }
}
