/* The C interface of ZimraxFileIO: both operations on a body held in
 * memory, and the streaming form that takes the body in pieces. Plain C11
 * types only; no call throws, and no C++ exception leaves the library.
 *
 *   zimrax_result saved;
 *   if (zimrax_save(body, body_length, "upload1", "/srv/uploads",
 *                   ZIMRAX_CONFLICT_MAKEUNIQUE, &saved) == ZIMRAX_CALL_OK) {
 *     if (saved.code == 0 && saved.fault == 0) printf("stored as %s\n", saved.stored_name);
 *     zimrax_result_free(&saved);
 *   }
 *
 * Every function returns a zimrax_call value: ZIMRAX_CALL_OK when the
 * operation ran (its outcome, success or a result code such as 102, is then
 * in the result), or a negative value when it could not run at all (a null
 * argument, no memory, a stream used after it ended). A result filled by a
 * call that did not return ZIMRAX_CALL_OK is all zeros and needs no freeing.
 *
 * Memory: the bytes and names a zimrax_result points to belong to the
 * library. A result filled by zimrax_save or zimrax_value is released with
 * zimrax_result_free; the results inside a zimrax_outcome belong to it and
 * are released with zimrax_outcome_free.
 *
 * Threads: calls share nothing and may run concurrently. One zimrax_stream
 * is used from one thread at a time. */
#ifndef ZIMRAX_ZIMRAX_C_H_
#define ZIMRAX_ZIMRAX_C_H_

#include <stddef.h>
#include <stdint.h>

#include "zimrax/export.h"

/* C++ callers see the entry points as noexcept, which they are. */
#ifdef __cplusplus
#define ZIMRAX_C_NOEXCEPT noexcept
#else
#define ZIMRAX_C_NOEXCEPT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* What a call returned: whether the operation ran, not how it ended. */
typedef enum zimrax_call {
  ZIMRAX_CALL_OK = 0,
  ZIMRAX_CALL_BAD_ARGUMENT = -1, /* a required pointer was null, or a value out of range */
  ZIMRAX_CALL_NO_MEMORY = -2,
  ZIMRAX_CALL_BAD_STATE = -3, /* a stream fed, discarded or finished after it ended */
  ZIMRAX_CALL_FAILED = -4     /* an unexpected internal failure; nothing was stored */
} zimrax_call;

/* What a save does when the file name is already taken in the directory. */
typedef enum zimrax_conflict {
  ZIMRAX_CONFLICT_UNSET = -1, /* streams only: not known yet / the one given up front */
  ZIMRAX_CONFLICT_ERROR = 0,  /* an existing entry is never replaced: code 106 */
  ZIMRAX_CONFLICT_OVERWRITE = 1,
  ZIMRAX_CONFLICT_MAKEUNIQUE = 2 /* the first free name(n).ext */
} zimrax_conflict;

/* How a field of a stream ended. Always ZIMRAX_STATUS_DONE for zimrax_save
 * and zimrax_value. */
typedef enum zimrax_status {
  ZIMRAX_STATUS_DONE = 0,           /* the result holds the outcome */
  ZIMRAX_STATUS_LIMIT_EXCEEDED = 1, /* a cap was passed; nothing was stored */
  ZIMRAX_STATUS_DISCARDED = 2,      /* discarded by the caller; nothing was stored */
  ZIMRAX_STATUS_SKIPPED = 3,        /* walking every part: skipped or only tapped */
  ZIMRAX_STATUS_HEADER_TOO_LONG = 4 /* walking every part: its headers passed the cap; not offered */
} zimrax_status;

/* How one operation ended. */
typedef struct zimrax_result {
  /* 0 on success; 101-106; or a platform error number (53-76) of a save. */
  int32_t code;
  /* Nonzero when the code is written as a 32-bit integer: the failed
   * replace of an existing file under "overwrite". Otherwise 16-bit. */
  int error_code_is_int32;
  /* 0, or the fault that ended the call without a code (6 overflow, 9
   * subscript out of range); code is then 0 and the text empty. */
  int32_t fault;
  /* The errno behind a platform error number; 0 otherwise. */
  int platform_errno;
  /* The result bytes: the stored name or the field's value on success,
   * otherwise the message of the code. `length` bytes, which may hold NUL
   * bytes, followed by one NUL. Never null in a filled result. */
  const uint8_t* bytes;
  size_t length;
  /* A successful save: the name the file is stored under; "" otherwise. */
  const char* stored_name;
  /* Nonzero for a save under "overwrite" that replaced an existing entry. */
  int replaced;
  /* A zimrax_status. */
  int status;
  /* The field the result is for, as the caller named it. */
  const char* field;
  /* The library's own bookkeeping; do not touch. */
  void* internal;
} zimrax_result;

/* The library version, e.g. "1.0.0.0". A static string. */
ZIMRAX_EXPORT const char* zimrax_version(void) ZIMRAX_C_NOEXCEPT;

/* The policy named by `text`: "overwrite" and "makeunique" in any case
 * ("Overwrite", "MAKEUNIQUE"), as every other entry point reads it; any
 * other text, "error" and NULL included, is ZIMRAX_CONFLICT_ERROR. */
ZIMRAX_EXPORT zimrax_conflict zimrax_conflict_parse(const char* text) ZIMRAX_C_NOEXCEPT;

/* Stores the file of the file-upload field `field` of the body in
 * `directory` under the file name the browser sent, with `policy`, a zimrax_conflict
 * other than ZIMRAX_CONFLICT_UNSET. `body` may be NULL when `length` is 0. */
ZIMRAX_EXPORT zimrax_call zimrax_save(const uint8_t* body, size_t length, const char* field, const char* directory,
                                      int policy, zimrax_result* result) ZIMRAX_C_NOEXCEPT;

/* The value of the field `field`; for a file-upload field, the file name
 * the browser sent. */
ZIMRAX_EXPORT zimrax_call zimrax_value(const uint8_t* body, size_t length, const char* field,
                                       zimrax_result* result) ZIMRAX_C_NOEXCEPT;

/* Releases what a result filled by zimrax_save or zimrax_value holds and
 * zeroes it. NULL and an all-zero result are accepted. */
ZIMRAX_EXPORT void zimrax_result_free(zimrax_result* result) ZIMRAX_C_NOEXCEPT;

/* What zimrax_remove_abandoned_temp_files did. */
typedef struct zimrax_sweep_report {
  size_t removed;     /* hidden temporary files removed */
  size_t kept_recent; /* unlocked ones kept as modified within the minimum age */
  int error_number;   /* the errno when the directory could not be read; 0 otherwise */
} zimrax_sweep_report;

/* The start-up sweep: removes the hidden temporary files that saves killed
 * part-way left in `directory` (whose writer is gone, so whose lock can be
 * taken, and which were last modified at least `min_age_seconds` ago).
 * Never touches any other entry; live saves, in this or another process,
 * keep theirs. Run it once per destination directory before taking uploads.
 * A directory that cannot be read is ZIMRAX_CALL_OK with error_number set;
 * a negative min_age_seconds is ZIMRAX_CALL_BAD_ARGUMENT. */
ZIMRAX_EXPORT zimrax_call zimrax_remove_abandoned_temp_files(const char* directory, int64_t min_age_seconds,
                                                             zimrax_sweep_report* report) ZIMRAX_C_NOEXCEPT;

/* ---- Streaming: the body in pieces of any size, file data written to disk
 * as it arrives. Each field ends exactly as zimrax_save or zimrax_value
 * would end on the whole body, unless a cap below was passed. */

typedef struct zimrax_stream zimrax_stream;
typedef struct zimrax_outcome zimrax_outcome;

/* A field whose value a stream reads, and the most bytes kept of it. */
typedef struct zimrax_value_field {
  const char* name;
  size_t max_bytes; /* a longer value ends as ZIMRAX_STATUS_LIMIT_EXCEEDED */
} zimrax_value_field;

typedef struct zimrax_stream_options {
  const char* directory;          /* where the file fields are stored; may be NULL without file fields */
  const char* const* file_fields; /* the fields to store, published in this order */
  size_t file_field_count;
  const zimrax_value_field* value_fields; /* the fields to read */
  size_t value_field_count;
  /* The policy when known before the body (a taken name under "error" is
   * then refused before any byte is written), or ZIMRAX_CONFLICT_UNSET. */
  int policy; /* a zimrax_conflict */
  /* The longest first line accepted; 0 for the default (8 KiB). */
  size_t max_first_line;
} zimrax_stream_options;

/* Starts a stream. The options are copied; they need not outlive the call. */
ZIMRAX_EXPORT zimrax_call zimrax_stream_new(const zimrax_stream_options* options,
                                            zimrax_stream** stream) ZIMRAX_C_NOEXCEPT;

/* Takes the next piece of the body; any length, 0 included. */
ZIMRAX_EXPORT zimrax_call zimrax_stream_feed(zimrax_stream* stream, const uint8_t* piece,
                                             size_t length) ZIMRAX_C_NOEXCEPT;

/* Drops the file field `field`: whatever was written for it is removed and
 * it ends as ZIMRAX_STATUS_DISCARDED. */
ZIMRAX_EXPORT zimrax_call zimrax_stream_discard(zimrax_stream* stream, const char* field) ZIMRAX_C_NOEXCEPT;

/* Ends the body and publishes the file fields in order, under `policy` (a
 * zimrax_conflict) when none was given up front (ZIMRAX_CONFLICT_UNSET: the one given up
 * front, else "error"). The stream has ended afterwards; free the outcome
 * with zimrax_outcome_free. */
ZIMRAX_EXPORT zimrax_call zimrax_stream_finish(zimrax_stream* stream, int policy,
                                               zimrax_outcome** outcome) ZIMRAX_C_NOEXCEPT;

/* Ends the body without publishing anything; nothing is left behind. A
 * stream that already ended is left as it is. */
ZIMRAX_EXPORT void zimrax_stream_abort(zimrax_stream* stream) ZIMRAX_C_NOEXCEPT;

/* Aborts the stream unless it ended, and releases it. NULL is accepted. */
ZIMRAX_EXPORT void zimrax_stream_free(zimrax_stream* stream) ZIMRAX_C_NOEXCEPT;

/* The file fields' results, in the order of options.file_fields. */
ZIMRAX_EXPORT size_t zimrax_outcome_file_count(const zimrax_outcome* outcome) ZIMRAX_C_NOEXCEPT;
ZIMRAX_EXPORT const zimrax_result* zimrax_outcome_file(const zimrax_outcome* outcome, size_t index) ZIMRAX_C_NOEXCEPT;
/* The value fields' results, in the order of options.value_fields. */
ZIMRAX_EXPORT size_t zimrax_outcome_value_count(const zimrax_outcome* outcome) ZIMRAX_C_NOEXCEPT;
ZIMRAX_EXPORT const zimrax_result* zimrax_outcome_value(const zimrax_outcome* outcome, size_t index) ZIMRAX_C_NOEXCEPT;
/* The names of the sections walked, in body order (at most 200), each with
 * its length in *length (NULL to skip; a name may hold NUL bytes), and
 * whether there were more. An index out of range gives NULL. */
ZIMRAX_EXPORT size_t zimrax_outcome_section_count(const zimrax_outcome* outcome) ZIMRAX_C_NOEXCEPT;
ZIMRAX_EXPORT const char* zimrax_outcome_section(const zimrax_outcome* outcome, size_t index,
                                                 size_t* length) ZIMRAX_C_NOEXCEPT;
ZIMRAX_EXPORT int zimrax_outcome_more_sections(const zimrax_outcome* outcome) ZIMRAX_C_NOEXCEPT;
/* Releases the outcome and every result in it. NULL is accepted. */
ZIMRAX_EXPORT void zimrax_outcome_free(zimrax_outcome* outcome) ZIMRAX_C_NOEXCEPT;

/* ---- Walking every part: each part of the body is reported in body order
 * and the caller decides what becomes of it. The caller pulls events:
 *
 *   zimrax_parts* parts;  zimrax_parts_options options = {"/srv/uploads", 0, 0, 0};
 *   zimrax_parts_new(&options, &parts);
 *   while (... a piece of the body ...) {
 *     zimrax_parts_feed(parts, piece, length);
 *     zimrax_part_event event;
 *     while (zimrax_parts_next(parts, &event) == ZIMRAX_CALL_OK && event.kind != ZIMRAX_EVENT_NONE) {
 *       if (event.kind == ZIMRAX_EVENT_PART)
 *         zimrax_parts_decide(parts, event.index, event.has_file_name ? ZIMRAX_PART_STORE : ZIMRAX_PART_READ,
 *                             NULL, ZIMRAX_CONFLICT_UNSET, 4096, 0);
 *     }
 *   }
 *   zimrax_parts_outcome* outcome;
 *   zimrax_parts_finish(parts, ZIMRAX_CONFLICT_MAKEUNIQUE, &outcome);
 *
 * The framing and the restart rule are those of zimrax/part_stream.h: a
 * ZIMRAX_EVENT_RESTART voids every part reported before it (nothing of
 * theirs is published; data already handed out cannot be taken back). */

typedef struct zimrax_parts zimrax_parts;
typedef struct zimrax_parts_outcome zimrax_parts_outcome;

typedef struct zimrax_parts_options {
  const char* directory;   /* where stored parts go unless a decision names one; may be NULL */
  size_t max_parts;        /* 0 for the default (1000) */
  size_t max_header_bytes; /* per part, from the name's closing quote to the empty line; 0 for 16 KiB */
  size_t max_first_line;   /* 0 for the default (8 KiB) */
} zimrax_parts_options;

typedef enum zimrax_part_event_kind {
  ZIMRAX_EVENT_NONE = 0,   /* nothing more until the next feed */
  ZIMRAX_EVENT_PART = 1,   /* a part: decide it before the next zimrax_parts_next, or it is skipped */
  ZIMRAX_EVENT_DATA = 2,   /* the next bytes of a tapped part */
  ZIMRAX_EVENT_RESTART = 3 /* every part reported so far is void */
} zimrax_part_event_kind;

typedef enum zimrax_part_action {
  ZIMRAX_PART_SKIP = 0,
  ZIMRAX_PART_STORE = 1, /* as zimrax_save stores it; published by zimrax_parts_finish */
  ZIMRAX_PART_READ = 2,  /* as zimrax_value reads it, up to max_value_bytes */
  ZIMRAX_PART_TAP = 3    /* its data comes as ZIMRAX_EVENT_DATA events only */
} zimrax_part_action;

/* One event. Its pointers stay valid until the next call on the walk. */
typedef struct zimrax_part_event {
  int kind;     /* a zimrax_part_event_kind */
  size_t index; /* the part (PART, DATA), from 0 */
  const char* name; /* PART: the name, NUL-terminated, name_length bytes (may hold NUL) */
  size_t name_length;
  int has_file_name; /* PART: nonzero when a file name was sent */
  const char* file_name;
  size_t file_name_length;
  const char* content_type; /* PART: the Content-Type line's value, "" without one */
  const char* const* header_lines; /* PART: the other header lines after the name */
  size_t header_line_count;
  int data_found; /* PART: zero when the body ended before the headers did */
  const uint8_t* data; /* DATA */
  size_t data_length;
} zimrax_part_event;

/* Starts a walk. The options are copied. */
ZIMRAX_EXPORT zimrax_call zimrax_parts_new(const zimrax_parts_options* options, zimrax_parts** parts) ZIMRAX_C_NOEXCEPT;

/* Takes the next piece of the body. ZIMRAX_CALL_BAD_STATE while events of
 * the last piece wait: call zimrax_parts_next until ZIMRAX_EVENT_NONE. */
ZIMRAX_EXPORT zimrax_call zimrax_parts_feed(zimrax_parts* parts, const uint8_t* piece, size_t length) ZIMRAX_C_NOEXCEPT;

/* The next event, or ZIMRAX_EVENT_NONE. */
ZIMRAX_EXPORT zimrax_call zimrax_parts_next(zimrax_parts* parts, zimrax_part_event* event) ZIMRAX_C_NOEXCEPT;

/* Ends the body: the last data of a tapped part and the parts whose
 * headers never ended come as events (drain them with zimrax_parts_next;
 * they may still be decided). Feeding is refused afterwards. */
ZIMRAX_EXPORT zimrax_call zimrax_parts_end(zimrax_parts* parts) ZIMRAX_C_NOEXCEPT;

/* Decides the part of the last ZIMRAX_EVENT_PART: `action` a
 * zimrax_part_action; `directory` for a store (NULL for the options'),
 * `policy` for a store (ZIMRAX_CONFLICT_UNSET for the one given to finish),
 * `max_value_bytes` for a read; `tap` nonzero also hands its data out as
 * ZIMRAX_EVENT_DATA events. ZIMRAX_CALL_BAD_STATE when that part is not
 * waiting for a decision. */
ZIMRAX_EXPORT zimrax_call zimrax_parts_decide(zimrax_parts* parts, size_t index, int action, const char* directory,
                                              int policy, size_t max_value_bytes, int tap) ZIMRAX_C_NOEXCEPT;

/* Ends the body unless zimrax_parts_end did (parts it reports now are
 * in the outcome only, as skipped) and publishes the stored parts in body order,
 * under their own policy or `policy` ("error" for ZIMRAX_CONFLICT_UNSET). */
ZIMRAX_EXPORT zimrax_call zimrax_parts_finish(zimrax_parts* parts, int policy,
                                              zimrax_parts_outcome** outcome) ZIMRAX_C_NOEXCEPT;

/* Aborts unless finished (nothing is left behind) and releases the walk. */
ZIMRAX_EXPORT void zimrax_parts_free(zimrax_parts* parts) ZIMRAX_C_NOEXCEPT;

/* The walk's end: 0 well, 1 more parts than max_parts (not reported), 2 a
 * first line over the cap (nothing reported). */
ZIMRAX_EXPORT int zimrax_parts_outcome_status(const zimrax_parts_outcome* outcome) ZIMRAX_C_NOEXCEPT;
/* One result per part reported, in order; `field` is the part's name and
 * `status` a zimrax_status. */
ZIMRAX_EXPORT size_t zimrax_parts_outcome_count(const zimrax_parts_outcome* outcome) ZIMRAX_C_NOEXCEPT;
ZIMRAX_EXPORT const zimrax_result* zimrax_parts_outcome_part(const zimrax_parts_outcome* outcome,
                                                             size_t index) ZIMRAX_C_NOEXCEPT;
ZIMRAX_EXPORT void zimrax_parts_outcome_free(zimrax_parts_outcome* outcome) ZIMRAX_C_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* ZIMRAX_ZIMRAX_C_H_ */
