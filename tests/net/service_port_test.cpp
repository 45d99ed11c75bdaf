// The upgrade service's framing: JSON requests in fragments, replies joined in order, and
// the device-parameter query with both handshakes, against a scripted loopback peer.
#include "net/service_port.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "net/byte_view.h"
#include "net/script_server.h"

namespace mardo {
namespace {

using testing::read_exactly;
using testing::script_server;
using testing::send_bytes;

std::vector<std::uint8_t> reply_fragment(std::uint32_t position, std::uint32_t index,
                                         const std::string& text, std::uint32_t error = 0,
                                         std::uint32_t stated_length = 0) {
  svc_header_t h;
  h.kind = 1;
  h.command = kSvcJsonCommand;
  h.position = position;
  h.index = index;
  h.error = error;
  h.payload_length = stated_length ? stated_length : static_cast<std::uint32_t>(text.size());
  std::vector<std::uint8_t> bytes(kSvcHeaderSize);
  encode_svc_header(h, std::span<std::uint8_t, kSvcHeaderSize>(bytes.data(), kSvcHeaderSize));
  bytes.insert(bytes.end(), text.begin(), text.end());
  return bytes;
}

struct Fragment {
  svc_header_t header;
  std::string text;
};

// Reads request fragments until the last one of the series.
std::vector<Fragment> read_request(socket_fd fd) {
  std::vector<Fragment> got;
  for (;;) {
    const auto head = read_exactly(fd, kSvcHeaderSize);
    const auto h = decode_svc_header(head);
    if (!h) return got;
    const auto body = read_exactly(fd, static_cast<int>(h->payload_length));
    got.push_back({*h, std::string(body.begin(), body.end())});
    if (h->position == kSvcLast || h->position == kSvcOnly || got.size() > 8) return got;
  }
}

// An older camera's answer: a header that states no length, the text behind it.
std::vector<std::uint8_t> old_answer(const std::string& text) {
  std::vector<std::uint8_t> bytes(kSvcHeaderSize, 0);
  put_le32(bytes.data(), kSvcMagic);
  bytes.insert(bytes.end(), text.begin(), text.end());
  return bytes;
}

std::vector<std::uint8_t> answer_bytes(const std::string& text, std::uint32_t error = 0,
                                       std::uint32_t stated_length = 0) {
  return reply_fragment(kSvcOnly, 0, text, error, stated_length);
}

// However a camera cuts its writes, each answer is read whole, and only a whole answer with a
// text or an error word answers the package header.
TEST(ServicePort, AnswersAreReadWholeHoweverTheCameraCutsItsWrites) {
  using bytes = std::vector<std::uint8_t>;
  const bytes a = answer_bytes(R"({"ResetFlag":1})");
  const bytes b = answer_bytes(R"({"FinishFlag":1})");
  const bytes bare = answer_bytes("");
  const bytes rejected = answer_bytes("", 3);
  bytes both = a;
  both.insert(both.end(), b.begin(), b.end());
  const bytes unsized = old_answer(R"({"ResetFlag":1})");
  bytes unsized_then_b = unsized;
  unsized_then_b.insert(unsized_then_b.end(), b.begin(), b.end());
  std::vector<bytes> one_byte_each;
  for (std::uint8_t byte : a) one_byte_each.push_back({byte});
  struct Row {
    const char* name;
    std::vector<bytes> writes;  // each a write of its own, 20 ms apart; then the camera closes
    std::vector<std::string> texts;  // the answers read, in order
    const char* header_answer;       // what answers the package header; null: nothing
  } rows[] = {
      {"header_and_text_apart",
       {bytes(a.begin(), a.begin() + 32), bytes(a.begin() + 32, a.end())},
       {R"({"ResetFlag":1})"},
       R"({"ResetFlag":1})"},
      {"a_byte_at_a_time", one_byte_each, {R"({"ResetFlag":1})"}, R"({"ResetFlag":1})"},
      {"two_answers_in_one_write",
       {both},
       {R"({"ResetFlag":1})", R"({"FinishFlag":1})"},
       R"({"ResetFlag":1})"},
      {"bare_header_accepts_nothing", {bare}, {""}, nullptr},
      {"bare_header_then_an_answer", {bare, a}, {"", R"({"ResetFlag":1})"}, R"({"ResetFlag":1})"},
      {"error_word_without_text_rejects", {rejected}, {""}, ""},
      {"less_than_a_header", {bytes(a.begin(), a.begin() + 20)}, {}, nullptr},
      {"text_cut_short", {bytes(a.begin(), a.end() - 1)}, {}, nullptr},
      {"stated_length_past_any_answer", {answer_bytes("{}", 0, 0x7FFFFFFF)}, {}, nullptr},
      {"nul_text_accepts_nothing", {answer_bytes(std::string(4, '\0'))}, {""}, nullptr},
      // Older cameras: a header of length 0 with the text behind it, in one write or two.
      {"unsized_text", {unsized}, {R"({"ResetFlag":1})"}, R"({"ResetFlag":1})"},
      {"unsized_text_apart",
       {bytes(unsized.begin(), unsized.begin() + 32), bytes(unsized.begin() + 32, unsized.end())},
       {"", R"({"ResetFlag":1})"},
       R"({"ResetFlag":1})"},
      {"unsized_text_then_an_answer",
       {unsized_then_b},
       {R"({"ResetFlag":1})", R"({"FinishFlag":1})"},
       R"({"ResetFlag":1})"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    for (const bool header_answer : {false, true}) {
      testing::tcp_pair pair;
      ASSERT_TRUE(pair.connected());
      std::thread camera([&] {
        for (const bytes& w : row.writes) {
          send_bytes(pair.peer(), w);
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        pair.close_peer();
      });
      service_reader reader(pair.own());
      if (header_answer) {
        const std::optional<service_answer_t> got = receive_header_answer(reader);
        EXPECT_EQ(got.has_value(), row.header_answer != nullptr);
        if (got && row.header_answer) {
          EXPECT_EQ(got->text, row.header_answer);
        }
      } else {
        std::vector<std::string> texts;
        while (const std::optional<service_answer_t> got = reader.next(5000))
          texts.push_back(got->text);
        EXPECT_EQ(texts, row.texts);
        EXPECT_TRUE(reader.broken());
      }
      camera.join();
    }
  }
}

TEST(ServicePort, JsonGoesOutIn992ByteFragmentsMarkedByPosition) {
  std::string json(2000, 'x');
  std::vector<Fragment> sent;
  script_server peer({[&](socket_fd fd) {
    sent = read_request(fd);
    send_bytes(fd, reply_fragment(kSvcOnly, 0, "{}"));
  }});
  const socket_fd fd = connect_to_host("127.0.0.1", peer.port(), 1000);
  ASSERT_NE(fd, kNoSocket);
  std::string reply;
  EXPECT_EQ(send_json_request(fd, kSvcJsonCommand, json, 1, reply, 1000), 0);
  close_socket(fd);
  peer.finish();
  ASSERT_EQ(sent.size(), 3u);
  const std::uint32_t positions[] = {kSvcFirst, kSvcMiddle, kSvcLast};
  const std::size_t sizes[] = {992, 992, 16};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(sent[i].header.magic, kSvcMagic);
    EXPECT_EQ(sent[i].header.command, kSvcJsonCommand);
    EXPECT_EQ(sent[i].header.position, positions[i]);
    EXPECT_EQ(sent[i].header.index, i);
    EXPECT_EQ(sent[i].header.link_id, 0u);
    EXPECT_EQ(sent[i].text.size(), sizes[i]);
  }
  EXPECT_EQ(reply, "{}");
}

TEST(ServicePort, ReplyFragmentsAreJoinedInOrderAndABadOneEndsTheExchange) {
  const std::string part1(1000, 'a');
  const std::string part2(500, 'b');
  struct Row {
    const char* name;
    std::vector<std::vector<std::uint8_t>> replies;
    int expected;
    std::string text;
  } rows[] = {
      {"two_fragments",
       {reply_fragment(kSvcFirst, 0, part1), reply_fragment(kSvcLast, 1, part2)},
       0,
       part1 + part2},
      {"index_out_of_sequence",
       {reply_fragment(kSvcFirst, 0, part1), reply_fragment(kSvcLast, 2, part2)},
       -1,
       part1},
      {"error_word_reads_on",
       {reply_fragment(kSvcFirst, 0, part1, 5), reply_fragment(kSvcLast, 1, part2)},
       -1,
       part1 + part2},
      {"text_ends_at_its_nul", {reply_fragment(kSvcOnly, 0, std::string("ab\0cd", 5))}, 0, "ab"},
      // A stated length far past what comes is not waited for or read into.
      {"length_beyond_any_fragment", {reply_fragment(kSvcOnly, 0, "{}", 0, 0x7FFFFFFF)}, -1, ""},
      {"no_reply", {}, -1, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    script_server peer({[&](socket_fd fd) {
      read_request(fd);
      for (const auto& r : row.replies) send_bytes(fd, r);
    }});
    const socket_fd fd = connect_to_host("127.0.0.1", peer.port(), 1000);
    ASSERT_NE(fd, kNoSocket);
    std::string reply;
    EXPECT_EQ(send_json_request(fd, kSvcJsonCommand, std::string_view("{}"), 1, reply, 300),
              row.expected);
    EXPECT_EQ(reply, row.text);
    close_socket(fd);
  }
}


TEST(ServicePort, DeviceParamQueryFallsBackToTheUpgradeHeaderHandshake) {
  const std::string good =
      R"({"cmd":"getDevParamRsp","errMsg":"noerror","interModel":"IM1","externModel":"EM1"})";
  const std::string long_good = R"({"cmd":"getDevParamRsp","errMsg":"noerror","pad":")" +
                                std::string(1400, 'p') +
                                R"(","interModel":"IM1","externModel":"EM1"})";
  const std::string busy =
      R"({"cmd":"getDevParamRsp","errMsg":"busy","interModel":"IM1","externModel":"EM1"})";
  const std::string no_extern =
      R"({"cmd":"getDevParamRsp","errMsg":"noerror","interModel":"IM1","externModel":""})";
  using bytes = std::vector<std::uint8_t>;
  const bytes split = old_answer(R"({"InterModel":"X"})");  // the header states no length
  struct Row {
    const char* name;
    std::vector<bytes> first;    // replies to getDevParam
    std::vector<bytes> second;   // answers to the upgrade header; empty: not reached
    int connections;
    int expected;
  } rows[] = {
      {"service_device", {reply_fragment(kSvcOnly, 0, good)}, {}, 1, 1},
      {"reply_in_two_fragments",
       {reply_fragment(kSvcFirst, 0, long_good.substr(0, 1000)),
        reply_fragment(kSvcLast, 1, long_good.substr(1000))},
       {},
       1,
       1},
      {"error_text_then_older_service",
       {reply_fragment(kSvcOnly, 0, busy)},
       {old_answer(R"({"InterModel":"IM1"})")},
       2,
       1},
      {"empty_extern_model_then_header_only_answer",
       {reply_fragment(kSvcOnly, 0, no_extern)},
       {old_answer("")},
       2,
       0},
      {"older_answer_split_after_its_header",
       {reply_fragment(kSvcOnly, 0, "{}")},
       {bytes(split.begin(), split.begin() + kSvcHeaderSize),
        bytes(split.begin() + kSvcHeaderSize, split.end())},
       2,
       1},
      {"older_answer_without_inter_model",
       {reply_fragment(kSvcOnly, 0, "{}")},
       {old_answer(R"({"InterModel":""})")},
       2,
       0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<Fragment> header_messages;
    script_server peer({[&](socket_fd fd) {
                          read_request(fd);
                          for (const auto& r : row.first) send_bytes(fd, r);
                        },
                        [&](socket_fd fd) {
                          header_messages = read_request(fd);
                          for (const auto& r : row.second) {
                            send_bytes(fd, r);
                            // arrives as a read of its own
                            std::this_thread::sleep_for(std::chrono::milliseconds(50));
                          }
                        }});
    std::array<std::uint8_t, kDeviceParamBlockSize> block{};
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i / 1024);
    EXPECT_EQ(query_device_param("127.0.0.1", peer.port(), block), row.expected);
    EXPECT_EQ(peer.finish(), row.connections);
    if (row.connections < 2) continue;
    ASSERT_EQ(header_messages.size(), 4u);
    const std::uint32_t positions[] = {kSvcFirst, kSvcMiddle, kSvcMiddle, kSvcLast};
    for (std::uint32_t i = 0; i < 4; ++i) {
      EXPECT_EQ(header_messages[i].header.command, kSvcUpgradeHeader);
      EXPECT_EQ(header_messages[i].header.position, positions[i]);
      EXPECT_EQ(header_messages[i].header.index, i);
      EXPECT_NE(header_messages[i].header.link_id, 0u);
      EXPECT_EQ(header_messages[i].text, std::string(1024, static_cast<char>(i)));
    }
  }
}

}  // namespace
}  // namespace mardo
