// Switches that let tests reach storage paths a healthy local file system
// never takes. Internal: not part of the installed headers.
#ifndef ZIMRAX_STORAGE_STORAGE_TEST_SEAMS_H_
#define ZIMRAX_STORAGE_STORAGE_TEST_SEAMS_H_

namespace zimrax {

// While on, temporary files are created under a hidden random name, as on a
// file system without O_TMPFILE. Affects every writer in the process.
void ForceNamedTempFilesForTesting(bool force);

// The next check of a temporary file's close() (the one made before it is
// published) reports `error_number` instead of closing cleanly; 0 clears it.
void FailNextCloseCheckForTesting(int error_number);

// The next link or no-replace rename that gives a temporary file its name
// is made but reports EEXIST, as a network file system answers one it sent
// again after losing the reply; false clears it.
void ReplayNextPublishForTesting(bool replay);

}  // namespace zimrax

#endif  // ZIMRAX_STORAGE_STORAGE_TEST_SEAMS_H_
