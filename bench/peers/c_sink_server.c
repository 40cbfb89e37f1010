/* Peer of bench/serve_compare: the limit of an upload server on this
 * machine. Plain C, one thread per connection: recv() the request body into
 * a 256 KiB buffer and write() each read to a file, parsing only what HTTP needs to
 * find the body (Content-Length; Expect: 100-continue is answered first, as
 * curl waits a second for it otherwise). Keep-alive, loopback only.
 *   c_sink_server DIR [BUFFER_KIB]     prints "listening PORT" on 127.0.0.1
 * Each POST body goes to DIR/sink-PID-N.bin; any other method gets 404. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

enum {
  kHeaderBytes = 16 * 1024,   /* the most header bytes read per request */
};

/* One write() takes up to this much: BUFFER_KIB, 256 KiB by default. On the
 * 2-core VM of the README, with Linux 6.18 and ext4, writes of 256 KiB and
 * less into the page cache cost 0.2 to 0.5 s of CPU a GiB; 1 MiB writes
 * cost 2 to 5 s (dd shows the same), 4 MiB ones about 1.5 s. */
static size_t body_buffer = 256u << 10;

static const char* store_dir;
static atomic_long file_counter;

struct Connection {
  int fd;
  char header[kHeaderBytes];
  size_t held; /* bytes in header[], the next request's start included */
  char* body;  /* body_buffer bytes */
};

static int SendAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    data += n;
    size -= (size_t)n;
  }
  return 0;
}

static int WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    data += n;
    size -= (size_t)n;
  }
  return 0;
}

/* The value of header `name` in the header block [start, end), or NULL.
 * Header names are matched case-insensitively at the start of a line. */
static const char* FindHeader(const char* start, const char* end, const char* name) {
  size_t length = strlen(name);
  for (const char* line = start; line < end;) {
    const char* next = memmem(line, (size_t)(end - line), "\r\n", 2);
    if (next == NULL) next = end;
    if ((size_t)(next - line) > length && strncasecmp(line, name, length) == 0 && line[length] == ':') {
      const char* value = line + length + 1;
      while (value < next && (*value == ' ' || *value == '\t')) ++value;
      return value;
    }
    line = next + 2;
  }
  return NULL;
}

/* Reads until the header block is complete. Returns the offset just past
 * its blank line, 0 at a clean end of the connection, -1 on error. */
static long ReadHeader(struct Connection* c) {
  for (;;) {
    char* end = memmem(c->header, c->held, "\r\n\r\n", 4);
    if (end != NULL) return end + 4 - c->header;
    if (c->held == sizeof c->header) return -1;
    ssize_t n = recv(c->fd, c->header + c->held, sizeof c->header - c->held, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0 && c->held == 0 ? 0 : -1;
    c->held += (size_t)n;
  }
}

/* Stores `length` body bytes: those already in header[] after `start`,
 * then the rest straight from the socket, each recv() written at once. */
static int StoreBody(struct Connection* c, size_t start, unsigned long long length) {
  char path[4096];
  snprintf(path, sizeof path, "%s/sink-%d-%ld.bin", store_dir, (int)getpid(), atomic_fetch_add(&file_counter, 1));
  int out = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) return -1;
  size_t early = c->held - start;
  if (early > length) early = (size_t)length;
  int failed = WriteAll(out, c->header + start, early);
  memmove(c->header, c->header + start + early, c->held - start - early);
  c->held -= start + early;
  unsigned long long left = length - early;
  while (!failed && left > 0) {
    size_t want = left < body_buffer ? (size_t)left : body_buffer;
    /* What has come, up to a buffer: waiting for a full one (MSG_WAITALL)
     * measured slower, 0.5 against 0.3 s of CPU a GiB. */
    ssize_t n = recv(c->fd, c->body, want, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed = 1;
      break;
    }
    failed = WriteAll(out, c->body, (size_t)n);
    left -= (unsigned long long)n;
  }
  if (close(out) != 0) failed = 1;
  return failed ? -1 : 0;
}

static void* Serve(void* argument) {
  struct Connection* c = argument;
  static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
  static const char kStored[] =
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 15\r\n\r\n{\"stored\":true}";
  static const char kNotFound[] = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
  static const char kRefused[] = "HTTP/1.1 411 Length Required\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  for (;;) {
    long header_end = ReadHeader(c);
    if (header_end <= 0) break;
    const char* block = c->header;
    const char* block_end = c->header + header_end;
    const char* length_text = FindHeader(block, block_end, "Content-Length");
    const char* expect = FindHeader(block, block_end, "Expect");
    unsigned long long length = length_text ? strtoull(length_text, NULL, 10) : 0;
    if (strncmp(block, "POST ", 5) != 0) {
      /* Requests without a body only: anything else ends the connection. */
      memmove(c->header, block_end, c->held - (size_t)header_end);
      c->held -= (size_t)header_end;
      if (length_text != NULL || SendAll(c->fd, kNotFound, sizeof kNotFound - 1) != 0) break;
      continue;
    }
    if (length_text == NULL) {
      SendAll(c->fd, kRefused, sizeof kRefused - 1);
      break;
    }
    if (expect != NULL && strncasecmp(expect, "100-continue", 12) == 0 &&
        SendAll(c->fd, kContinue, sizeof kContinue - 1) != 0) {
      break;
    }
    if (StoreBody(c, (size_t)header_end, length) != 0) break;
    if (SendAll(c->fd, kStored, sizeof kStored - 1) != 0) break;
  }
  close(c->fd);
  free(c->body);
  free(c);
  return NULL;
}

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    fprintf(stderr, "usage: %s DIR [BUFFER_KIB]\n", argv[0]);
    return 2;
  }
  store_dir = argv[1];
  if (argc == 3 && (body_buffer = strtoul(argv[2], NULL, 10) * 1024) == 0) return 2;
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in address = {.sin_family = AF_INET, .sin_port = 0};
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (listener < 0 || bind(listener, (struct sockaddr*)&address, sizeof address) != 0 || listen(listener, 128) != 0 ||
      getsockname(listener, (struct sockaddr*)&address, &size) != 0) {
    perror("c_sink_server");
    return 1;
  }
  printf("listening %d\n", ntohs(address.sin_port));
  fflush(stdout);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  for (;;) {
    int fd = accept4(listener, NULL, NULL, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE) continue;
      perror("accept");
      return 1;
    }
    struct Connection* c = calloc(1, sizeof *c);
    if (c != NULL) c->body = malloc(body_buffer);
    pthread_t thread;
    if (c == NULL || c->body == NULL) {
      close(fd);
      if (c != NULL) free(c);
      continue;
    }
    c->fd = fd;
    if (pthread_create(&thread, &attributes, Serve, c) != 0) {
      close(fd);
      free(c->body);
      free(c);
    }
  }
}
