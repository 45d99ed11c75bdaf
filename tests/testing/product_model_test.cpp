// The product block and the reading of a query reply.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/product_model.h"

namespace mardo {
namespace {

TEST(ProductModel, BlockCutsModelsAt128AndRefusesAPathThatDoesNotFit) {
  const auto block = product_block({std::string(130, 'p'), "HW", "/tmp/params.bin"});
  ASSERT_TRUE(block);
  EXPECT_EQ((*block)[127], 'p');
  EXPECT_EQ((*block)[128], 'H');  // no NUL after a product model that fills its field
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(block->data() + 256)), "/tmp/params.bin");
  EXPECT_TRUE(product_block({"P", "H", std::string(255, 'x')}));
  EXPECT_FALSE(product_block({"P", "H", std::string(256, 'x')}));
}

TEST(ProductModel, ReplyIsReadOnlyWithinWhatCame) {
  std::vector<std::uint8_t> reply(256, 'Z');
  reply[0] = 'P';
  reply[1] = 0;
  // The hardware field without a NUL ends at the last byte received.
  EXPECT_EQ(product_reply_text(std::span(reply).first(131)), "P | ZZZ");
  EXPECT_EQ(product_reply_text(std::span(reply).first(100)), "P | ");
  EXPECT_EQ(product_reply_text(reply), "P | " + std::string(128, 'Z'));
}

}  // namespace
}  // namespace mardo
