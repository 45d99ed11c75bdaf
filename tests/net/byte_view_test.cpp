#include "net/byte_view.h"

#include <gtest/gtest.h>

namespace mardo {
namespace {

TEST(ByteReader, ReadsFieldsInBothByteOrders) {
  const std::uint8_t data[] = {0xBA, 0xBA, 0xBA, 0x5A, 0x1D, 0x00, 0xFF, 0xF1, 1, 2, 3, 4};
  byte_reader r(data, sizeof data);
  EXPECT_EQ(r.le32(), 0x5ABABABAu);
  EXPECT_EQ(r.le16(), 0x1Du);
  EXPECT_EQ(r.be16(), 0xFFF1u);
  EXPECT_EQ(r.be32(), 0x01020304u);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.remaining(), 0u);
}

TEST(ByteReader, TruncationStopsTheParseAndReadsGiveZero) {
  const std::uint8_t data[] = {1, 2, 3};
  byte_reader r(data, sizeof data);
  EXPECT_EQ(r.le16(), 0x0201u);
  EXPECT_EQ(r.le16(), 0u);  // only one byte left
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.u8(), 0u);  // stays failed, even though a byte remains
  EXPECT_TRUE(r.bytes(1).empty());
  EXPECT_EQ(r.remaining(), 0u);
}

TEST(ByteReader, CStrStopsAtNulOrLimitOrEnd) {
  const std::uint8_t data[] = {'a', 'b', 0, 'c', 'd', 'e'};
  byte_reader r(data, sizeof data);
  EXPECT_EQ(r.cstr(), "ab");
  EXPECT_EQ(r.offset(), 3u);  // the NUL is consumed
  EXPECT_EQ(r.cstr(2), "cd");
  EXPECT_EQ(r.cstr(), "e");  // unterminated: runs to the end, no overrun
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.cstr(), "");
}

TEST(ByteReader, SeekPastTheEndFails) {
  const std::uint8_t data[4] = {};
  byte_reader r(data, sizeof data);
  r.seek(4);
  EXPECT_TRUE(r.ok());
  r.seek(5);
  EXPECT_FALSE(r.ok());
}

TEST(ByteWriters, PutFieldsAtExplicitOffsets) {
  std::uint8_t buf[12] = {};
  put_be16(buf, 0xFFF0);
  put_le16(buf + 2, 0x1234);
  put_le32(buf + 4, 0x5ABABABA);
  put_be32(buf + 8, 0xC0000201);
  const std::uint8_t expected[] = {0xFF, 0xF0, 0x34, 0x12, 0xBA, 0xBA,
                                   0xBA, 0x5A, 0xC0, 0x00, 0x02, 0x01};
  EXPECT_EQ(0, std::memcmp(buf, expected, sizeof buf));
}

}  // namespace
}  // namespace mardo
