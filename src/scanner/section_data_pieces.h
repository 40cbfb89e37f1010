// A file section's data, handed out in pieces while the search for the
// delimiter line that ends it moves ahead. Each piece is searched and then
// stored while it is still in the processor's cache, so a large upload is
// read from memory once instead of twice.
#ifndef ZIMRAX_SCANNER_SECTION_DATA_PIECES_H_
#define ZIMRAX_SCANNER_SECTION_DATA_PIECES_H_

#include "base/checked.h"

namespace zimrax {

class SectionDataPieces {
 public:
  // The data starts at `data_start` and ends two bytes (the CR LF) before
  // the first `delimiter_line` at or after it, or at the body's end when
  // there is none. REQUIRES: 0 < data_start <= size of body.
  SectionDataPieces(ByteView body, Position data_start, ByteView delimiter_line);

  // Returns the next piece of data, never empty while data remains; an
  // empty view once all of it has been handed out. Fails as FindBytes does.
  Checked<ByteView> Next();

 private:
  ByteView body_;
  ByteView delimiter_line_;
  Position next_;       // first byte not handed out yet
  Position piece_;      // bytes per piece
  bool done_ = false;
};

}  // namespace zimrax

#endif  // ZIMRAX_SCANNER_SECTION_DATA_PIECES_H_
