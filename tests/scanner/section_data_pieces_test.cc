// The pieces of a section's data must join up to exactly the bytes that one
// search of the whole body gives, wherever the delimiter line falls against
// the piece edges, and nothing may be read past the body.
#include "scanner/section_data_pieces.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "guarded_buffer.h"
#include "scanner/find_bytes.h"
#include "support/find_bytes_reference.h"

namespace zimrax {
namespace {

constexpr Position kPiece = Position{64} << 10;

// What the data must be: up to the CR LF in front of the first delimiter
// line at or after `start`, else through the body's end.
std::string Expected(ByteView body, Position start, ByteView delimiter) {
  const Position found = FindBytesReference(body, delimiter, start).value;
  const Position end = found != 0 ? std::max(start, found - 2) : SizeOf(body);
  return std::string(reinterpret_cast<const char*>(body.data()) + start, static_cast<std::size_t>(end - start));
}

// Joins every piece, checking that each is non-empty, follows the one
// before it in the body, and that the end stays the end.
std::string Joined(ByteView body, Position start, ByteView delimiter) {
  SectionDataPieces pieces(body, start, delimiter);
  std::string joined;
  const std::uint8_t* expected_next = body.data() + start;
  for (;;) {
    const Checked<ByteView> piece = pieces.Next();
    EXPECT_TRUE(piece.ok());
    if (!piece.ok() || piece.value.empty()) break;
    EXPECT_EQ(piece.value.data(), expected_next);
    expected_next = piece.value.data() + piece.value.size();
    joined.append(reinterpret_cast<const char*>(piece.value.data()), piece.value.size());
  }
  EXPECT_TRUE(pieces.Next().value.empty());
  return joined;
}

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// A header of `head` bytes, `data_length` filler bytes, then (unless
// `delimiter` is empty) CR LF and the delimiter line with a closing "--".
std::string BodyWith(Position head, Position data_length, const std::string& delimiter) {
  std::string body(static_cast<std::size_t>(head), 'h');
  body.append(static_cast<std::size_t>(data_length), 'x');
  if (!delimiter.empty()) body += "\r\n" + delimiter + "--\r\n";
  return body;
}

TEST(SectionDataPiecesTest, DelimiterAtEveryOffsetAroundPieceEdges) {
  const std::string kLongDelimiter = "--" + std::string(20000, 'L');  // pieces grow to 4 x its length
  for (const std::string& delimiter : {std::string("--b"), std::string("------WebKitFormBoundary7MA4YWxkTrZu0gW"),
                                       kLongDelimiter}) {
    const Position piece = std::max(kPiece, 4 * SizeOf(Bytes(delimiter)));
    std::vector<Position> lengths = {0, 1, 2, 3};
    for (const Position edge : {piece, 2 * piece}) {
      // The delimiter line (after its CR LF) just inside, across and just
      // past the edge of a piece, and its CR LF across the edge.
      const Position line = SizeOf(Bytes(delimiter)) + 2;
      for (Position d = -4; d <= 4; ++d) {
        lengths.push_back(edge + d);
        lengths.push_back(edge - line + d);
      }
    }
    for (const Position length : lengths) {
      for (const bool closed : {true, false}) {
        const std::vector<std::uint8_t> body = Bytes(BodyWith(7, length, closed ? delimiter : ""));
        const ByteView view(body);
        EXPECT_EQ(Joined(view, 7, Bytes(delimiter)), Expected(view, 7, Bytes(delimiter)))
            << "delimiter of " << delimiter.size() << " bytes, data of " << length << ", closed " << closed;
      }
    }
  }
}

// Bodies made of delimiter fragments, so that near-matches and real ones
// fall everywhere, including across the piece edges.
TEST(SectionDataPiecesTest, MatchesOneWholeSearchOnFragmentedBodies) {
  const std::string delimiter = "--b0";
  const std::string fragments[] = {"-", "--", "--b", "\r\n", "x", "\r\n--b", "0", "--b0"};
  std::mt19937 random(7);
  for (int round = 0; round < 40; ++round) {
    std::string text = "--b0\r\nhead\r\n\r\n";
    const std::size_t target = std::uniform_int_distribution<std::size_t>(1, 3 * kPiece)(random);
    std::uniform_int_distribution<int> pick(0, 15);
    while (text.size() < target) {
      const int choice = pick(random);
      // Mostly filler, so that a delimiter does not always end the data early.
      text += choice < 8 ? fragments[choice] : std::string(static_cast<std::size_t>(choice) * 97, 'y');
    }
    const testing::GuardedBuffer guarded(text);
    EXPECT_EQ(Joined(guarded.Bytes(), 14, Bytes(delimiter)), Expected(guarded.Bytes(), 14, Bytes(delimiter)))
        << "round " << round;
  }
}

TEST(SectionDataPiecesTest, DataStartingAtTheBodysEndIsEmpty) {
  const std::vector<std::uint8_t> body = Bytes("--b\r\nh\r\n\r\n");
  EXPECT_EQ(Joined(body, SizeOf(ByteView(body)), Bytes("--b")), "");
}

}  // namespace
}  // namespace zimrax
