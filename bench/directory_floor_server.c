/* The floor of directory_load_bench: the least an HTTP/1.1 server can do to answer a list
 * request. One thread, epoll, non-blocking sockets, kept-alive connections; every request gets
 * the same bytes from memory: the plain list, the gzip list when the request names gzip, or 304
 * when it names the list's ETag. No parsing beyond finding the end of a head and those words.
 *
 *   directory_floor_server PLAIN_FILE GZIP_FILE ETAG
 *
 * Prints "listening on PORT" once it listens on 127.0.0.1; runs until killed. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

struct body {
    char *data;
    size_t size;
};

struct connection {
    int fd;
    char in[8192];
    size_t in_size;
    char head[512];
    size_t head_size;
    size_t head_sent;
    const struct body *body;
    size_t body_sent;
    int close_after;
};

static struct body plain, gzipped;
static const char *etag;

static int read_file(const char *path, struct body *out)
{
    FILE *file = fopen(path, "rb");
    if (!file) return -1;
    fseek(file, 0, SEEK_END);
    out->size = (size_t)ftell(file);
    fseek(file, 0, SEEK_SET);
    out->data = malloc(out->size ? out->size : 1);
    const size_t got = fread(out->data, 1, out->size, file);
    fclose(file);
    return got == out->size ? 0 : -1;
}

/* Takes the first complete request head from the input, if any, and sets up its reply. */
static int take_request(struct connection *c)
{
    c->in[c->in_size] = '\0';
    char *end = strstr(c->in, "\r\n\r\n");
    if (!end) return 0;
    *end = '\0';
    const int not_modified = strstr(c->in, etag) != NULL && strstr(c->in, "If-None-Match") != NULL;
    const int wants_gzip = strstr(c->in, "gzip") != NULL;
    c->close_after = strstr(c->in, "Connection: close") != NULL || strstr(c->in, "HTTP/1.0") != NULL;
    const size_t used = (size_t)(end + 4 - c->in);
    memmove(c->in, end + 4, c->in_size - used);
    c->in_size -= used;
    if (not_modified) {
        c->body = NULL;
        c->head_size = (size_t)snprintf(c->head, sizeof c->head, "HTTP/1.1 304 Not Modified\r\nETag: %s\r\n\r\n", etag);
    } else {
        c->body = wants_gzip ? &gzipped : &plain;
        c->head_size = (size_t)snprintf(c->head, sizeof c->head,
                                        "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=GBK\r\nETag: %s\r\n%s"
                                        "Content-Length: %zu\r\n\r\n",
                                        etag, wants_gzip ? "Content-Encoding: gzip\r\n" : "", c->body->size);
    }
    c->head_sent = 0;
    c->body_sent = 0;
    return 1;
}

/* Writes what is pending; 1 when the reply is out, 0 when the socket is full, -1 on error. */
static int flush(struct connection *c)
{
    while (1) {
        struct iovec parts[2];
        int count = 0;
        if (c->head_sent < c->head_size) {
            parts[count].iov_base = c->head + c->head_sent;
            parts[count++].iov_len = c->head_size - c->head_sent;
        }
        if (c->body && c->body_sent < c->body->size) {
            parts[count].iov_base = c->body->data + c->body_sent;
            parts[count++].iov_len = c->body->size - c->body_sent;
        }
        if (count == 0) return 1;
        const ssize_t sent = writev(c->fd, parts, count);
        if (sent < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : errno == EINTR ? 0 : -1;
        size_t left = (size_t)sent;
        const size_t from_head = left < c->head_size - c->head_sent ? left : c->head_size - c->head_sent;
        c->head_sent += from_head;
        c->body_sent += left - from_head;
    }
}

static void drop(int epoll, struct connection *c)
{
    epoll_ctl(epoll, EPOLL_CTL_DEL, c->fd, NULL);
    close(c->fd);
    free(c);
}

/* Serves what the connection holds; returns 0 when it was closed. */
static int serve(int epoll, struct connection *c)
{
    while (1) {
        if (c->head_size > 0) {
            const int done = flush(c);
            if (done < 0) {
                drop(epoll, c);
                return 0;
            }
            struct epoll_event event = {.events = done ? EPOLLIN : EPOLLOUT, .data.ptr = c};
            epoll_ctl(epoll, EPOLL_CTL_MOD, c->fd, &event);
            if (!done) return 1;
            c->head_size = 0;
            if (c->close_after) {
                drop(epoll, c);
                return 0;
            }
        }
        if (!take_request(c)) return 1;
    }
}

int main(int argc, char **argv)
{
    if (argc != 4 || read_file(argv[1], &plain) != 0 || read_file(argv[2], &gzipped) != 0) {
        fprintf(stderr, "usage: directory_floor_server PLAIN_FILE GZIP_FILE ETAG\n");
        return 2;
    }
    etag = argv[3];
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    struct sockaddr_in address = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    socklen_t length = sizeof address;
    if (bind(listener, (struct sockaddr *)&address, length) != 0 || listen(listener, 4096) != 0) return 1;
    getsockname(listener, (struct sockaddr *)&address, &length);
    printf("listening on %d\n", ntohs(address.sin_port));
    fflush(stdout);

    const int epoll = epoll_create1(0);
    struct epoll_event event = {.events = EPOLLIN, .data.ptr = NULL};
    epoll_ctl(epoll, EPOLL_CTL_ADD, listener, &event);
    struct epoll_event events[256];
    while (1) {
        const int n = epoll_wait(epoll, events, 256, -1);
        for (int i = 0; i < n; ++i) {
            struct connection *c = events[i].data.ptr;
            if (!c) {
                int fd;
                while ((fd = accept4(listener, NULL, NULL, SOCK_NONBLOCK)) >= 0) {
                    const int yes = 1;
                    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
                    struct connection *fresh = calloc(1, sizeof *fresh);
                    fresh->fd = fd;
                    struct epoll_event added = {.events = EPOLLIN, .data.ptr = fresh};
                    epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &added);
                }
                continue;
            }
            if (c->head_size == 0) { /* between replies: read the next request */
                const ssize_t got = read(c->fd, c->in + c->in_size, sizeof c->in - 1 - c->in_size);
                if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                    drop(epoll, c);
                    continue;
                }
                if (got > 0) c->in_size += (size_t)got;
                c->in[c->in_size] = '\0';
                if (c->in_size >= sizeof c->in - 1 && !strstr(c->in, "\r\n\r\n")) {
                    drop(epoll, c);
                    continue;
                }
            }
            serve(epoll, c);
        }
    }
}
