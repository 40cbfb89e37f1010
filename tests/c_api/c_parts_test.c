/* The pull interface for walking every part, from C11 against the shared
 * library: a form fed one byte at a time gives its parts in order with
 * their headers; a stored part and a read part end exactly as zimrax_save
 * and zimrax_value on the whole body; a tapped part's data comes out whole;
 * a one-NUL delimiter restarts the walk; misuse is refused. Prints each
 * failed check and exits 1. */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "zimrax/zimrax_c.h"

static int failures = 0;

#define CHECK(condition)                                                            \
  do {                                                                              \
    if (!(condition)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      ++failures;                                                                   \
    }                                                                               \
  } while (0)

static const char kForm[] =
    "--b\r\n"
    "Content-Disposition: form-data; name=\"f\"; filename=\"C:\\\\dir\\\\a.txt\"\r\n"
    "Content-Type: text/plain\r\nX-Note: 1\r\n\r\n"
    "first file\r\n--b\r\n"
    "Content-Disposition: form-data; name=\"v\"\r\n\r\n"
    "a value\r\n--b\r\n"
    "Content-Disposition: form-data; name=\"f\"; filename=\"b.bin\"\r\n\r\n"
    "tap\r\n-b\r\nped\r\n--b--\r\n";

typedef struct seen {
  int parts;
  int restarts;
  char names[8][16];
  char tapped[64];
  size_t tapped_length;
} seen;

/* Drains the events of the last piece, deciding each part: the first "f"
 * stored, "v" read, any other tapped. */
static void drain(zimrax_parts* parts, seen* s, const char* directory) {
  zimrax_part_event event;
  while (zimrax_parts_next(parts, &event) == ZIMRAX_CALL_OK && event.kind != ZIMRAX_EVENT_NONE) {
    if (event.kind == ZIMRAX_EVENT_RESTART) {
      ++s->restarts;
      s->parts = 0;
      s->tapped_length = 0;
    } else if (event.kind == ZIMRAX_EVENT_DATA) {
      CHECK(s->tapped_length + event.data_length <= sizeof s->tapped);
      if (s->tapped_length + event.data_length <= sizeof s->tapped) {
        memcpy(s->tapped + s->tapped_length, event.data, event.data_length);
        s->tapped_length += event.data_length;
      }
    } else if (event.kind == ZIMRAX_EVENT_PART) {
      CHECK(event.index == (size_t)s->parts);
      if (s->parts < 8) snprintf(s->names[s->parts], sizeof s->names[0], "%s", event.name);
      if (event.index == 0 && strcmp(event.name, "f") == 0) {
        CHECK(event.has_file_name && strcmp(event.file_name, "C:\\\\dir\\\\a.txt") == 0);
        CHECK(strcmp(event.content_type, "text/plain") == 0);
        CHECK(event.header_line_count == 1 && strcmp(event.header_lines[0], "X-Note: 1") == 0);
        /* Before the decision, nothing else can be fed. */
        CHECK(zimrax_parts_feed(parts, (const uint8_t*)"x", 1) == ZIMRAX_CALL_BAD_STATE);
        CHECK(zimrax_parts_decide(parts, 5, ZIMRAX_PART_STORE, NULL, ZIMRAX_CONFLICT_UNSET, 0, 0) ==
              ZIMRAX_CALL_BAD_STATE);
        CHECK(zimrax_parts_decide(parts, 0, ZIMRAX_PART_STORE, directory, ZIMRAX_CONFLICT_UNSET, 0, 0) ==
              ZIMRAX_CALL_OK);
      } else if (strcmp(event.name, "v") == 0) {
        CHECK(!event.has_file_name && event.content_type[0] == '\0');
        CHECK(zimrax_parts_decide(parts, event.index, ZIMRAX_PART_READ, NULL, ZIMRAX_CONFLICT_UNSET, 100, 0) ==
              ZIMRAX_CALL_OK);
      } else {
        CHECK(zimrax_parts_decide(parts, event.index, ZIMRAX_PART_TAP, NULL, ZIMRAX_CONFLICT_UNSET, 0, 0) ==
              ZIMRAX_CALL_OK);
      }
      ++s->parts;
    }
  }
}

static void check_walk(const char* directory, const char* whole) {
  const zimrax_parts_options options = {directory, 0, 0, 0};
  zimrax_parts* parts = NULL;
  CHECK(zimrax_parts_new(&options, &parts) == ZIMRAX_CALL_OK);
  seen s;
  memset(&s, 0, sizeof s);
  const size_t length = sizeof kForm - 1;
  for (size_t i = 0; i < length; ++i) {
    CHECK(zimrax_parts_feed(parts, (const uint8_t*)kForm + i, 1) == ZIMRAX_CALL_OK);
    drain(parts, &s, directory);
  }
  zimrax_parts_outcome* outcome = NULL;
  CHECK(zimrax_parts_finish(parts, ZIMRAX_CONFLICT_ERROR, &outcome) == ZIMRAX_CALL_OK);
  CHECK(zimrax_parts_feed(parts, (const uint8_t*)"x", 1) == ZIMRAX_CALL_BAD_STATE);
  CHECK(s.parts == 3 && s.restarts == 0);
  CHECK(s.tapped_length == strlen("tap\r\n-b\r\nped") && memcmp(s.tapped, "tap\r\n-b\r\nped", s.tapped_length) == 0);
  CHECK(zimrax_parts_outcome_status(outcome) == 0);
  CHECK(zimrax_parts_outcome_count(outcome) == 3);

  zimrax_result saved, value;
  CHECK(zimrax_save((const uint8_t*)kForm, length, "f", whole, ZIMRAX_CONFLICT_ERROR, &saved) == ZIMRAX_CALL_OK);
  CHECK(zimrax_value((const uint8_t*)kForm, length, "v", &value) == ZIMRAX_CALL_OK);
  const zimrax_result* stored = zimrax_parts_outcome_part(outcome, 0);
  const zimrax_result* read = zimrax_parts_outcome_part(outcome, 1);
  const zimrax_result* skipped = zimrax_parts_outcome_part(outcome, 2);
  CHECK(stored != NULL && read != NULL && skipped != NULL);
  if (stored != NULL && read != NULL && skipped != NULL) {
    CHECK(stored->status == ZIMRAX_STATUS_DONE && stored->code == saved.code &&
          strcmp(stored->stored_name, saved.stored_name) == 0 && strcmp(stored->stored_name, "a.txt") == 0);
    CHECK(read->length == value.length && memcmp(read->bytes, value.bytes, value.length) == 0);
    CHECK(skipped->status == ZIMRAX_STATUS_SKIPPED && strcmp(skipped->field, "f") == 0);
  }
  CHECK(zimrax_parts_outcome_part(outcome, 3) == NULL);
  zimrax_result_free(&saved);
  zimrax_result_free(&value);
  zimrax_parts_outcome_free(outcome);
  zimrax_parts_free(parts);
}

/* An empty first line makes the delimiter one NUL byte: the walk assumes
 * none comes, and starts over when one does. */
static void check_restart(const char* directory) {
  static const char kBody[] = "\r\nContent-Disposition: form-data; name=\"v\"\r\n\r\nvalue\0"
                              "Content-Disposition: form-data; name=\"w\"\r\n\r\nw";
  const zimrax_parts_options options = {directory, 0, 0, 0};
  zimrax_parts* parts = NULL;
  CHECK(zimrax_parts_new(&options, &parts) == ZIMRAX_CALL_OK);
  seen s;
  memset(&s, 0, sizeof s);
  for (size_t i = 0; i < sizeof kBody - 1; ++i) {
    CHECK(zimrax_parts_feed(parts, (const uint8_t*)kBody + i, 1) == ZIMRAX_CALL_OK);
    drain(parts, &s, directory);
  }
  /* The body's end releases the last bytes of the part read. */
  CHECK(zimrax_parts_end(parts) == ZIMRAX_CALL_OK);
  drain(parts, &s, directory);
  CHECK(zimrax_parts_feed(parts, (const uint8_t*)"x", 1) == ZIMRAX_CALL_BAD_STATE);
  zimrax_parts_outcome* outcome = NULL;
  CHECK(zimrax_parts_finish(parts, ZIMRAX_CONFLICT_UNSET, &outcome) == ZIMRAX_CALL_OK);
  CHECK(s.restarts == 1);
  CHECK(s.tapped_length == 1 && s.tapped[0] == 'w');  /* the tapped "w" came out whole */
  CHECK(zimrax_parts_outcome_count(outcome) == (size_t)s.parts);
  zimrax_parts_outcome_free(outcome);
  zimrax_parts_free(parts);
}

static void check_refused(void) {
  zimrax_parts* parts = NULL;
  CHECK(zimrax_parts_new(NULL, &parts) == ZIMRAX_CALL_BAD_ARGUMENT && parts == NULL);
  const zimrax_parts_options options = {NULL, 0, 0, 0};
  CHECK(zimrax_parts_new(&options, &parts) == ZIMRAX_CALL_OK);
  CHECK(zimrax_parts_feed(parts, NULL, 3) == ZIMRAX_CALL_BAD_ARGUMENT);
  CHECK(zimrax_parts_decide(parts, 0, 9, NULL, ZIMRAX_CONFLICT_UNSET, 0, 0) == ZIMRAX_CALL_BAD_ARGUMENT);
  CHECK(zimrax_parts_finish(parts, 7, NULL) == ZIMRAX_CALL_BAD_ARGUMENT);
  zimrax_parts_free(parts);
  zimrax_parts_free(NULL);
}

int main(void) {
  char directory[] = "/tmp/zimrax-c-parts-XXXXXX";
  char whole[] = "/tmp/zimrax-c-parts-whole-XXXXXX";
  if (mkdtemp(directory) == NULL || mkdtemp(whole) == NULL) {
    perror("mkdtemp");
    return 2;
  }
  check_walk(directory, whole);
  check_restart(directory);
  check_refused();
  char path[128];
  snprintf(path, sizeof path, "%s/a.txt", directory);
  unlink(path);
  snprintf(path, sizeof path, "%s/a.txt", whole);
  unlink(path);
  rmdir(directory);
  rmdir(whole);
  if (failures != 0) {
    fprintf(stderr, "%d checks failed\n", failures);
    return 1;
  }
  printf("c_parts_test: all checks passed\n");
  return 0;
}
