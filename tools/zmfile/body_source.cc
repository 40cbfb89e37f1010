#include "body_source.h"

#include "body_reader.h"

namespace zimrax::zmfile {

BodySource::BodySource(const std::string& path, const std::function<void()>& on_size_known) {
  error_ = ReadBodyPieces(
      path, [this](std::span<const std::uint8_t> piece) { buffer_.insert(buffer_.end(), piece.begin(), piece.end()); },
      on_size_known);
  if (!error_.empty()) std::vector<std::uint8_t>().swap(buffer_);
}

}  // namespace zimrax::zmfile
