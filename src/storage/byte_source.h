// Where the bytes of a new file come from: a piece at a time, so that the
// producer (the search for the end of an upload) runs just ahead of the
// writer instead of finishing first.
#ifndef ZIMRAX_STORAGE_BYTE_SOURCE_H_
#define ZIMRAX_STORAGE_BYTE_SOURCE_H_

#include "base/checked.h"

namespace zimrax {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // The next piece; an empty view once every byte has been handed out.
  virtual Checked<ByteView> NextPiece() = 0;
};

}  // namespace zimrax

#endif  // ZIMRAX_STORAGE_BYTE_SOURCE_H_
