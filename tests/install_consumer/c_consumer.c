/* Uses an installed ZimraxFileIO from C11 through zimrax/zimrax_c.h: reads
 * one field of a small body and fails unless the value and the library
 * version are the ones expected (EXPECTED_VERSION from pkg-config). */
#include <stdio.h>
#include <string.h>

#include "zimrax/zimrax_c.h"

int main(void) {
  static const char kBody[] = "--AaB03x\r\nContent-Disposition: form-data; name=\"title\"\r\n\r\nQ3\r\n--AaB03x--\r\n";
  zimrax_result result;
  if (zimrax_value((const uint8_t*)kBody, strlen(kBody), "title", &result) != ZIMRAX_CALL_OK) return 1;
  const int ok = result.code == 0 && result.length == 2 && memcmp(result.bytes, "Q3", 2) == 0;
  printf("C: version %s, title: ErrorCode %d, %s\n", zimrax_version(), (int)result.code, (const char*)result.bytes);
  zimrax_result_free(&result);
  if (strcmp(zimrax_version(), EXPECTED_VERSION) != 0) {
    fprintf(stderr, "c_consumer: the library says %s, the package %s\n", zimrax_version(), EXPECTED_VERSION);
    return 1;
  }
  return ok ? 0 : 1;
}
