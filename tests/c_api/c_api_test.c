/* The C interface from a C11 program linked against the shared library:
 * each result code on bodies that produce it, saves under each conflict
 * policy, a stream fed one byte at a time against the whole-body calls,
 * the start-up sweep, and the calls that must be refused. Prints each failed check and exits 1.
 *
 * Usage: c_api_test SAMPLE_BODY (samples/worked_example.txt). */
#define _POSIX_C_SOURCE 200809L

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
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

typedef struct bytes {
  const uint8_t* data;
  size_t length;
} bytes;

static bytes text_bytes(const char* text) {
  bytes b = {(const uint8_t*)text, strlen(text)};
  return b;
}

/* The whole of `path`, or exits. The caller frees data. */
static bytes read_file(const char* path) {
  bytes b = {NULL, 0};
  FILE* file = fopen(path, "rb");
  if (file == NULL) {
    fprintf(stderr, "cannot open %s\n", path);
    exit(2);
  }
  uint8_t* data = NULL;
  size_t length = 0;
  uint8_t chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
    uint8_t* grown = realloc(data, length + got);
    if (grown == NULL) exit(2);
    data = grown;
    memcpy(data + length, chunk, got);
    length += got;
  }
  fclose(file);
  b.data = data;
  b.length = length;
  return b;
}

static int result_text_is(const zimrax_result* result, const char* text) {
  return result->bytes != NULL && result->length == strlen(text) && memcmp(result->bytes, text, result->length) == 0 &&
         result->bytes[result->length] == '\0';
}

static int file_holds(const char* directory, const char* name, const char* content) {
  char path[4096];
  snprintf(path, sizeof path, "%s/%s", directory, name);
  FILE* file = fopen(path, "rb");
  if (file == NULL) return 0;
  char buffer[256];
  size_t got = fread(buffer, 1, sizeof buffer, file);
  fclose(file);
  return got == strlen(content) && memcmp(buffer, content, got) == 0;
}

static size_t entries_in(const char* directory) {
  size_t count = 0;
  DIR* dir = opendir(directory);
  if (dir == NULL) return (size_t)-1;
  struct dirent* entry;
  while ((entry = readdir(dir)) != NULL) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) ++count;
  }
  closedir(dir);
  return count;
}

static void remove_tree(const char* directory) {
  DIR* dir = opendir(directory);
  if (dir == NULL) return;
  struct dirent* entry;
  char path[4096];
  while ((entry = readdir(dir)) != NULL) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    snprintf(path, sizeof path, "%s/%s", directory, entry->d_name);
    unlink(path);
  }
  closedir(dir);
  rmdir(directory);
}

/* Every result code and its message, through zimrax_value and zimrax_save. */
static void check_result_codes(bytes sample, const char* directory) {
  static const char kCutBody[] = "--B\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n";
  static const char kEmptyFileName[] =
      "--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"\"\r\n\r\nx\r\n--B--\r\n";
  static const char kNoLineBreak[] = "--B Content-Disposition: form-data; name=\"a\" v";
  struct {
    int save; /* zimrax_save into `directory`, else zimrax_value */
    bytes body;
    const char* field;
    int32_t code;
    const char* text;
  } cases[] = {
      {0, sample, "title", 0, "Q3"},
      {0, sample, "doc", 0, "C:\\Reports\\q3.csv"},
      {0, text_bytes(kCutBody), "b", 101, "Error: Form Field Name not found."},
      {0, sample, "year", 102, "Error: Can not locate 'Content-Disposition' text."},
      {1, sample, "title", 103, "Error: Can not locate filename in form field."},
      {0, text_bytes(kEmptyFileName), "f", 104, "Error: Bad Form Filename."},
      {1, text_bytes(kEmptyFileName), "f", 104, "Error: Bad Form Filename."},
      {0, text_bytes(kNoLineBreak), "a", 105, "Error: Can not locate form field data."},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    zimrax_result result;
    const zimrax_call call = cases[i].save
                                 ? zimrax_save(cases[i].body.data, cases[i].body.length, cases[i].field, directory,
                                               ZIMRAX_CONFLICT_ERROR, &result)
                                 : zimrax_value(cases[i].body.data, cases[i].body.length, cases[i].field, &result);
    if (call != ZIMRAX_CALL_OK || result.code != cases[i].code || !result_text_is(&result, cases[i].text) ||
        result.fault != 0 || strcmp(result.field, cases[i].field) != 0 || result.status != ZIMRAX_STATUS_DONE) {
      fprintf(stderr, "case %zu (%s): call %d, code %d, text \"%.*s\"\n", i, cases[i].field, (int)call,
              (int)result.code, (int)result.length, result.bytes == NULL ? "" : (const char*)result.bytes);
      ++failures;
    }
    zimrax_result_free(&result);
    CHECK(result.bytes == NULL && result.internal == NULL);
  }
  CHECK(entries_in(directory) == 0);
}

/* One name saved four times: stored, refused (106), numbered, replaced. */
static void check_policies(bytes sample, const char* directory) {
  struct {
    int policy;
    int32_t code;
    const char* stored_name;
    int replaced;
    size_t entries_after;
  } cases[] = {
      {ZIMRAX_CONFLICT_ERROR, 0, "q3.csv", 0, 1},
      {ZIMRAX_CONFLICT_ERROR, 106, "", 0, 1},
      {ZIMRAX_CONFLICT_MAKEUNIQUE, 0, "q3(1).csv", 0, 2},
      {ZIMRAX_CONFLICT_OVERWRITE, 0, "q3.csv", 1, 2},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    zimrax_result result;
    CHECK(zimrax_save(sample.data, sample.length, "doc", directory, cases[i].policy, &result) == ZIMRAX_CALL_OK);
    if (result.code != cases[i].code || strcmp(result.stored_name, cases[i].stored_name) != 0 ||
        result.replaced != cases[i].replaced || entries_in(directory) != cases[i].entries_after) {
      fprintf(stderr, "policy case %zu: code %d, stored \"%s\", replaced %d\n", i, (int)result.code, result.stored_name,
              result.replaced);
      ++failures;
    }
    if (result.code == 0) CHECK(result_text_is(&result, cases[i].stored_name));
    if (result.code == 106) CHECK(result_text_is(&result, "Error: File Already Exists."));
    CHECK(result.error_code_is_int32 == 0);
    zimrax_result_free(&result);
  }
  CHECK(file_holds(directory, "q3.csv", "1,2\r\n3,4"));
  CHECK(file_holds(directory, "q3(1).csv", "1,2\r\n3,4"));
}

/* A stream fed one byte at a time ends each field as the whole-body calls do. */
static void check_stream_matches_whole_body(bytes sample, const char* directory) {
  const char* file_fields[] = {"doc", "title", "nothing"};
  const zimrax_value_field value_fields[] = {{"title", 64}, {"doc", 64}, {"year", 64}, {"title", 1}};
  zimrax_stream_options options;
  memset(&options, 0, sizeof options);
  options.directory = directory;
  options.file_fields = file_fields;
  options.file_field_count = 3;
  options.value_fields = value_fields;
  options.value_field_count = 4;
  options.policy = ZIMRAX_CONFLICT_UNSET;
  zimrax_stream* stream = NULL;
  CHECK(zimrax_stream_new(&options, &stream) == ZIMRAX_CALL_OK && stream != NULL);
  if (stream == NULL) return;
  for (size_t i = 0; i < sample.length; ++i) CHECK(zimrax_stream_feed(stream, sample.data + i, 1) == ZIMRAX_CALL_OK);
  CHECK(zimrax_stream_feed(stream, NULL, 0) == ZIMRAX_CALL_OK);
  zimrax_outcome* outcome = NULL;
  CHECK(zimrax_stream_finish(stream, ZIMRAX_CONFLICT_MAKEUNIQUE, &outcome) == ZIMRAX_CALL_OK && outcome != NULL);
  /* The stream has ended: every further use is refused, freeing is not. */
  zimrax_outcome* again = NULL;
  CHECK(zimrax_stream_feed(stream, sample.data, 1) == ZIMRAX_CALL_BAD_STATE);
  CHECK(zimrax_stream_discard(stream, "doc") == ZIMRAX_CALL_BAD_STATE);
  CHECK(zimrax_stream_finish(stream, ZIMRAX_CONFLICT_UNSET, &again) == ZIMRAX_CALL_BAD_STATE && again == NULL);
  zimrax_stream_free(stream);
  if (outcome == NULL) return;

  CHECK(zimrax_outcome_file_count(outcome) == 3 && zimrax_outcome_value_count(outcome) == 4);
  for (size_t i = 0; i < zimrax_outcome_file_count(outcome); ++i) {
    const zimrax_result* streamed = zimrax_outcome_file(outcome, i);
    zimrax_result whole;
    /* The stream stored doc as q3(2).csv; the whole-body save now takes q3(3).csv. */
    CHECK(zimrax_save(sample.data, sample.length, file_fields[i], directory, ZIMRAX_CONFLICT_MAKEUNIQUE, &whole) ==
          ZIMRAX_CALL_OK);
    CHECK(strcmp(streamed->field, file_fields[i]) == 0 && streamed->status == ZIMRAX_STATUS_DONE);
    CHECK(streamed->code == whole.code && streamed->fault == whole.fault);
    if (whole.code != 0)
      CHECK(streamed->length == whole.length && memcmp(streamed->bytes, whole.bytes, whole.length) == 0);
    zimrax_result_free(&whole);
  }
  CHECK(strcmp(zimrax_outcome_file(outcome, 0)->stored_name, "q3(2).csv") == 0);
  CHECK(file_holds(directory, "q3(2).csv", "1,2\r\n3,4") && file_holds(directory, "q3(3).csv", "1,2\r\n3,4"));
  for (size_t i = 0; i < 3; ++i) {
    const zimrax_result* streamed = zimrax_outcome_value(outcome, i);
    zimrax_result whole;
    CHECK(zimrax_value(sample.data, sample.length, value_fields[i].name, &whole) == ZIMRAX_CALL_OK);
    CHECK(streamed->status == ZIMRAX_STATUS_DONE && streamed->code == whole.code && streamed->length == whole.length &&
          memcmp(streamed->bytes, whole.bytes, whole.length) == 0);
    zimrax_result_free(&whole);
  }
  CHECK(zimrax_outcome_value(outcome, 3)->status == ZIMRAX_STATUS_LIMIT_EXCEEDED);
  CHECK(zimrax_outcome_file(outcome, 3) == NULL && zimrax_outcome_value(outcome, 4) == NULL);

  size_t length = 0;
  CHECK(zimrax_outcome_section_count(outcome) == 2 && zimrax_outcome_more_sections(outcome) == 0);
  const char* first = zimrax_outcome_section(outcome, 0, &length);
  CHECK(first != NULL && length == 5 && strcmp(first, "title") == 0);
  const char* second = zimrax_outcome_section(outcome, 1, &length);
  CHECK(second != NULL && length == 3 && strcmp(second, "doc") == 0);
  CHECK(zimrax_outcome_section(outcome, 2, &length) == NULL && length == 0);
  zimrax_outcome_free(outcome);
}

/* A discarded field and an aborted stream leave nothing behind. */
static void check_discard_and_abort(bytes sample, const char* directory) {
  const char* file_fields[] = {"doc"};
  zimrax_stream_options options;
  memset(&options, 0, sizeof options);
  options.directory = directory;
  options.file_fields = file_fields;
  options.file_field_count = 1;
  options.policy = ZIMRAX_CONFLICT_OVERWRITE;
  const size_t entries_before = entries_in(directory);

  zimrax_stream* stream = NULL;
  CHECK(zimrax_stream_new(&options, &stream) == ZIMRAX_CALL_OK);
  CHECK(zimrax_stream_feed(stream, sample.data, sample.length - 3) == ZIMRAX_CALL_OK);
  CHECK(zimrax_stream_discard(stream, "doc") == ZIMRAX_CALL_OK);
  CHECK(zimrax_stream_feed(stream, sample.data + sample.length - 3, 3) == ZIMRAX_CALL_OK);
  zimrax_outcome* outcome = NULL;
  CHECK(zimrax_stream_finish(stream, ZIMRAX_CONFLICT_UNSET, &outcome) == ZIMRAX_CALL_OK);
  CHECK(zimrax_outcome_file(outcome, 0) != NULL && zimrax_outcome_file(outcome, 0)->status == ZIMRAX_STATUS_DISCARDED);
  zimrax_outcome_free(outcome);
  zimrax_stream_free(stream);

  stream = NULL;
  CHECK(zimrax_stream_new(&options, &stream) == ZIMRAX_CALL_OK);
  CHECK(zimrax_stream_feed(stream, sample.data, sample.length) == ZIMRAX_CALL_OK);
  zimrax_stream_abort(stream);
  CHECK(zimrax_stream_feed(stream, sample.data, 1) == ZIMRAX_CALL_BAD_STATE);
  zimrax_stream_free(stream);
  CHECK(entries_in(directory) == entries_before);
}

/* Calls that cannot run are refused, and leave their outputs empty. */
static void check_refused_calls(bytes sample, const char* directory) {
  zimrax_result result;
  CHECK(zimrax_value(sample.data, sample.length, NULL, &result) == ZIMRAX_CALL_BAD_ARGUMENT && result.bytes == NULL);
  CHECK(zimrax_value(NULL, 5, "title", &result) == ZIMRAX_CALL_BAD_ARGUMENT);
  CHECK(zimrax_value(sample.data, sample.length, "title", NULL) == ZIMRAX_CALL_BAD_ARGUMENT);
  CHECK(zimrax_save(sample.data, sample.length, "doc", NULL, ZIMRAX_CONFLICT_ERROR, &result) ==
        ZIMRAX_CALL_BAD_ARGUMENT);
  CHECK(zimrax_save(sample.data, sample.length, "doc", directory, 7, &result) == ZIMRAX_CALL_BAD_ARGUMENT);
  CHECK(zimrax_save(sample.data, sample.length, "doc", directory, ZIMRAX_CONFLICT_UNSET, &result) ==
        ZIMRAX_CALL_BAD_ARGUMENT);
  /* An empty body is a body: 102, not a refusal. */
  CHECK(zimrax_value(NULL, 0, "title", &result) == ZIMRAX_CALL_OK && result.code == 102);
  zimrax_result_free(&result);
  zimrax_result_free(NULL);

  const char* file_fields[] = {"doc", NULL};
  zimrax_stream_options options;
  memset(&options, 0, sizeof options);
  options.file_fields = file_fields;
  options.file_field_count = 1;
  zimrax_stream* stream = (zimrax_stream*)&options;
  CHECK(zimrax_stream_new(&options, &stream) == ZIMRAX_CALL_BAD_ARGUMENT && stream == NULL); /* no directory */
  options.directory = directory;
  options.file_field_count = 2;
  CHECK(zimrax_stream_new(&options, &stream) == ZIMRAX_CALL_BAD_ARGUMENT); /* a null name */
  options.file_field_count = 1;
  options.policy = 3;
  CHECK(zimrax_stream_new(&options, &stream) == ZIMRAX_CALL_BAD_ARGUMENT);
  CHECK(zimrax_stream_new(NULL, &stream) == ZIMRAX_CALL_BAD_ARGUMENT);
  zimrax_stream_free(NULL);
  zimrax_outcome_free(NULL);
}

static int file_exists(const char* directory, const char* name) {
  char path[4096];
  struct stat info;
  snprintf(path, sizeof path, "%s/%s", directory, name);
  return stat(path, &info) == 0;
}

static void put_file(const char* directory, const char* name) {
  char path[4096];
  snprintf(path, sizeof path, "%s/%s", directory, name);
  FILE* file = fopen(path, "wb");
  if (file != NULL) fclose(file);
}

/* The start-up sweep: an abandoned temporary file goes, a look-alike and a
 * stored file stay, a minimum age keeps a recent one, and the refusals. */
static void check_sweep(const char* directory) {
  const char* temp = ".zmfile-0123456789abcdef";
  const char* look_alike = ".zmfile-0123456789ABCDEF";
  put_file(directory, temp);
  put_file(directory, look_alike);
  put_file(directory, "stored.txt");
  zimrax_sweep_report report;
  CHECK(zimrax_remove_abandoned_temp_files(directory, 3600, &report) == ZIMRAX_CALL_OK);
  CHECK(report.removed == 0 && report.kept_recent == 1 && report.error_number == 0);
  CHECK(file_exists(directory, temp));
  CHECK(zimrax_remove_abandoned_temp_files(directory, 0, &report) == ZIMRAX_CALL_OK);
  CHECK(report.removed == 1 && report.kept_recent == 0 && report.error_number == 0);
  CHECK(!file_exists(directory, temp) && file_exists(directory, look_alike) && file_exists(directory, "stored.txt"));

  char missing[4096];
  snprintf(missing, sizeof missing, "%s/missing", directory);
  CHECK(zimrax_remove_abandoned_temp_files(missing, 0, &report) == ZIMRAX_CALL_OK);
  CHECK(report.error_number != 0 && report.removed == 0);
  CHECK(zimrax_remove_abandoned_temp_files(NULL, 0, &report) == ZIMRAX_CALL_BAD_ARGUMENT);
  CHECK(zimrax_remove_abandoned_temp_files(directory, -1, &report) == ZIMRAX_CALL_BAD_ARGUMENT);
  CHECK(report.removed == 0 && report.kept_recent == 0 && report.error_number == 0);
  CHECK(zimrax_remove_abandoned_temp_files(directory, 0, NULL) == ZIMRAX_CALL_BAD_ARGUMENT);
}

/* Every case of each policy word names it; anything else is "error". */
static void check_conflict_parse(void) {
  static const struct {
    const char* text;
    zimrax_conflict policy;
  } cases[] = {
      {"overwrite", ZIMRAX_CONFLICT_OVERWRITE},   {"Overwrite", ZIMRAX_CONFLICT_OVERWRITE},
      {"OVERWRITE", ZIMRAX_CONFLICT_OVERWRITE},   {"makeunique", ZIMRAX_CONFLICT_MAKEUNIQUE},
      {"MakeUnique", ZIMRAX_CONFLICT_MAKEUNIQUE}, {"error", ZIMRAX_CONFLICT_ERROR},
      {"ERROR", ZIMRAX_CONFLICT_ERROR},           {"overwrite ", ZIMRAX_CONFLICT_ERROR},
      {"make unique", ZIMRAX_CONFLICT_ERROR},     {"", ZIMRAX_CONFLICT_ERROR},
      {"\xc3\x96verwrite", ZIMRAX_CONFLICT_ERROR},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    if (zimrax_conflict_parse(cases[i].text) != cases[i].policy) {
      fprintf(stderr, "zimrax_conflict_parse(\"%s\") is wrong\n", cases[i].text);
      ++failures;
    }
  }
  CHECK(zimrax_conflict_parse(NULL) == ZIMRAX_CONFLICT_ERROR);
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s SAMPLE_BODY\n", argv[0]);
    return 2;
  }
  bytes sample = read_file(argv[1]);
  char directory[] = "/tmp/zimrax-c-api-XXXXXX";
  if (mkdtemp(directory) == NULL) {
    perror("mkdtemp");
    return 2;
  }

  CHECK(strcmp(zimrax_version(), ZIMRAX_EXPECTED_VERSION) == 0);
  check_conflict_parse();

  check_result_codes(sample, directory);
  check_policies(sample, directory);
  check_stream_matches_whole_body(sample, directory);
  check_discard_and_abort(sample, directory);
  check_refused_calls(sample, directory);
  check_sweep(directory);

  remove_tree(directory);
  free((void*)sample.data);
  if (failures != 0) {
    fprintf(stderr, "%d checks failed\n", failures);
    return 1;
  }
  printf("c_api_test: all checks passed\n");
  return 0;
}
