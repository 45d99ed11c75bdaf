// The stream probe's texts, its RTP handling and its receive steps, and one whole session
// against a scripted loopback server.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../net/script_server.h"
#include "net/sockets.h"
#include "testing/rtp_reassembly.h"
#include "testing/rtsp_text.h"
#include "testing/stream_probe.h"
#include "testing/stream_receive.h"

namespace mardo {
namespace {

using bytes_t = std::vector<std::uint8_t>;

struct delivery_t {
  std::uint8_t payload_type;
  std::uint32_t timestamp;
  bytes_t data;
};

struct collector {
  std::mutex lock;
  std::vector<delivery_t> got;
  media_sink sink() {
    return {[](void* c, std::uint8_t pt, std::uint32_t ts, const std::uint8_t* d, std::int32_t n) {
              auto* self = static_cast<collector*>(c);
              std::lock_guard guard(self->lock);
              self->got.push_back({pt, ts, bytes_t(d, d + n)});
            },
            this};
  }
};

bytes_t rtp(std::uint16_t seq, std::uint8_t pt, const bytes_t& payload,
            std::uint32_t ts = 0x01020304) {
  bytes_t p = {0x80,
               pt,
               static_cast<std::uint8_t>(seq >> 8),
               static_cast<std::uint8_t>(seq),
               static_cast<std::uint8_t>(ts >> 24),
               static_cast<std::uint8_t>(ts >> 16),
               static_cast<std::uint8_t>(ts >> 8),
               static_cast<std::uint8_t>(ts),
               0,
               0,
               0,
               1};
  p.insert(p.end(), payload.begin(), payload.end());
  return p;
}

// A NAL unit of `type` cut into FU-A payloads of at most `piece` bytes after the FU header.
std::vector<bytes_t> fu_a(std::uint8_t type, const bytes_t& body, std::size_t piece) {
  std::vector<bytes_t> out;
  for (std::size_t at = 0; at < body.size(); at += piece) {
    const std::size_t n = std::min(piece, body.size() - at);
    std::uint8_t fu = type;
    if (at == 0) fu |= 0x80;
    if (at + n == body.size()) fu |= 0x40;
    bytes_t p = {static_cast<std::uint8_t>(0x60 | 28), fu};
    p.insert(p.end(), body.begin() + static_cast<long>(at),
             body.begin() + static_cast<long>(at + n));
    out.push_back(p);
  }
  return out;
}

bytes_t body_of(std::size_t n, std::uint8_t seed) {
  bytes_t b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i);
  return b;
}

bytes_t nal(std::uint8_t header, const bytes_t& body) {
  bytes_t n = {header};
  n.insert(n.end(), body.begin(), body.end());
  return n;
}

TEST(RtspText, RequestsAndTheTwoFieldsOfTheAnswers) {
  const struct {
    rtsp_request_t r;
    const char* text;
  } requests[] = {
      {{.method = rtsp_method_t::describe, .url = "192.0.2.10/stream_main", .cseq = 1},
       "DESCRIBE rtsp://192.0.2.10/stream_main RTSP/1.0\r\nCSeq: 1\r\n\r\n"},
      {{.method = rtsp_method_t::setup_tcp,
        .url = "192.0.2.10/stream_sub",
        .cseq = 2,
        .track_id = 3},
       "SETUP rtsp://192.0.2.10/stream_sub/trackID=3 RTSP/1.0\r\nCSeq: 2\r\nTransport: "
       "RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n"},
      {{.method = rtsp_method_t::setup_udp,
        .url = "h/stream_main",
        .cseq = 2,
        .client_port = 40000},
       "SETUP rtsp://h/stream_main/trackID=0 RTSP/1.0\r\nCSeq: 2\r\nTransport: "
       "RTP/AVP;unicast;client_port=40000-40001\r\n\r\n"},
      {{.method = rtsp_method_t::play, .host = "h", .cseq = 3, .session = "abc"},
       "PLAY rtsp://h RTSP/1.0\r\nCSeq: 3\r\nSession: abc\r\n\r\n"},
      {{.method = rtsp_method_t::get_parameter, .host = "h", .cseq = 4, .session = "abc"},
       "GET_PARAMETER rtsp://h RTSP/1.0\r\nCSeq: 4\r\nSession: abc\r\n\r\n"},
      {{.method = rtsp_method_t::teardown, .host = "h", .cseq = 9, .session = "abc"},
       "TEARDOWN rtsp://h RTSP/1.0\r\nCSeq: 9\r\nSession: abc\r\n\r\n"},
  };
  for (const auto& c : requests) EXPECT_EQ(rtsp_request_text(c.r), c.text);

  EXPECT_EQ(answer_track_id("m=video 0\r\na=control:trackID=12\r\n"), 12);
  EXPECT_EQ(answer_track_id("a=control:*\r\n"), 0);
  EXPECT_EQ(answer_track_id(std::string("x\0a=control:trackID=5", 22)), 0);
  EXPECT_EQ(answer_track_id("a=control:trackID=99999999"), 9999);

  const struct {
    std::string answer;
    bool found;
    std::string id;
  } sessions[] = {
      {"RTSP/1.0 200 OK\r\nSession: 1A2B;timeout=60\r\n\r\n", true, "1A2B"},
      {"RTSP/1.0 200 OK\r\nSession:   XYZ\r\nCSeq: 2\r\n", true, "XYZ"},
      {"RTSP/1.0 200 OK\r\nSession: " + std::string(100, 'k') + "\r\n", true, std::string(63, 'k')},
      {"RTSP/1.0 200 OK\r\nSession: end", true, "end"},
      {"RTSP/1.0 454 Session Not Found\r\n\r\n", false, ""},
  };
  for (const auto& c : sessions) {
    std::string id;
    EXPECT_EQ(answer_session_id(c.answer, &id), c.found) << c.answer;
    EXPECT_EQ(id, c.id) << c.answer;
  }
}

// Packets in, what is delivered out.
TEST(RtpReassembly, LossKeyWaitAndBounds) {
  const bytes_t idr = body_of(3000, 1), p_frame = body_of(2500, 7);
  const auto idr_frags = fu_a(5, idr, 1000), p_frags = fu_a(1, p_frame, 1000);
  const bytes_t sps = {0x67, 0x42, 0x00, 0x1F}, pps = {0x68, 0xCE};
  struct step_t {
    std::uint16_t seq;
    std::uint8_t pt;
    bytes_t payload;
  };
  const struct {
    const char* name;
    std::vector<step_t> steps;
    bool udp;
    std::vector<bytes_t> delivered;
  } cases[] = {
      {"whole NAL from three fragments",
       {{1, 96, idr_frags[0]}, {2, 96, idr_frags[1]}, {3, 96, idr_frags[2]}},
       false,
       {nal(0x65, idr)}},
      {"lost middle fragment: nothing until an SPS, then whole units again",
       {{1, 96, p_frags[0]},
        {3, 96, p_frags[2]},  // 2 lost
        {4, 96, p_frags[0]},
        {5, 96, p_frags[1]},
        {6, 96, p_frags[2]},  // no SPS yet
        {7, 96, sps},
        {8, 96, pps},
        {9, 96, idr_frags[0]},
        {10, 96, idr_frags[1]},
        {11, 96, idr_frags[2]}},
       false,
       {sps, pps, nal(0x65, idr)}},
      {"another payload type has no key wait after a loss",
       {{1, 97, idr_frags[0]}, {3, 97, idr_frags[2]}, {4, 97, pps}},
       false,
       {idr_frags[0], pps}},
      {"an FU-A without its FU header adds nothing",
       {{1, 96, idr_frags[0]}, {2, 96, {0x7C}}, {3, 96, idr_frags[1]}, {4, 96, idr_frags[2]}},
       false,
       {nal(0x65, idr)}},
      {"short packets are ignored; UDP drops types 100 and up",
       {{1, 96, {}}, {2, 100, pps}, {3, 101, sps}},
       true,
       {{}}},
  };
  for (const auto& c : cases) {
    rtp_reassembly r;
    r.last_seq = 0;
    collector got;
    for (const step_t& s : c.steps)
      handle_rtp_packet(r, rtp(s.seq, s.pt, s.payload), c.udp, got.sink());
    handle_rtp_packet(r, bytes_t(11, 0x80), c.udp, got.sink());
    std::vector<bytes_t> data;
    for (const auto& d : got.got) data.push_back(d.data);
    EXPECT_EQ(data, c.delivered) << c.name;
  }

  // A unit that would outgrow the reassembly buffer is dropped, never written past it; the
  // next unit comes whole.
  rtp_reassembly r;
  collector got;
  std::uint16_t seq = 1;
  const bytes_t piece = body_of(4000, 3);
  auto fragment = [&](std::uint8_t fu) {
    bytes_t p = {0x7C, fu};
    p.insert(p.end(), piece.begin(), piece.end());
    handle_rtp_packet(r, rtp(seq++, 96, p), false, got.sink());
  };
  fragment(0x85);
  for (int i = 0; i < 600; ++i) fragment(0x05);
  EXPECT_LE(r.frame_length, kFrameCapacity);
  EXPECT_GT(r.frame_length, kFrameCapacity - 4000);
  fragment(0x45);
  EXPECT_TRUE(got.got.empty());
  fragment(0x85);
  fragment(0x45);
  ASSERT_EQ(got.got.size(), 1u);
  EXPECT_EQ(got.got[0].data.size(), 1 + 2 * piece.size());
}

bytes_t interleaved(std::uint8_t channel, const bytes_t& packet) {
  bytes_t f = {'$', channel, static_cast<std::uint8_t>(packet.size() >> 8),
               static_cast<std::uint8_t>(packet.size())};
  f.insert(f.end(), packet.begin(), packet.end());
  return f;
}

TEST(InterleavedStep, SkipsAnswersRtcpOversizedFramesAndGarbage) {
  testing::tcp_pair pair;
  ASSERT_TRUE(pair.connected());
  const bytes_t first = rtp(1, 96, {0x41, 1, 2, 3}), second = rtp(2, 96, {0x41, 4, 5});
  bytes_t stream = interleaved(0, first);
  const std::string answer = "RTSP/1.0 200 OK\r\nCSeq: 4\r\nSession: abc\r\n\r\n";
  stream.insert(stream.end(), answer.begin(), answer.end());
  for (const bytes_t& f : {interleaved(1, bytes_t(28, 0x80)),
                           interleaved(0, rtp(9, 96, bytes_t(5000, 0x41))), interleaved(0, second)})
    stream.insert(stream.end(), f.begin(), f.end());
  ASSERT_EQ(send_all(pair.peer(), stream.data(), static_cast<int>(stream.size()), 1000),
            static_cast<int>(stream.size()));
  receive_state s;
  collector got;
  s.sink = got.sink();
  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kMediaBuffer]);
  for (int i = 0; i < 5; ++i) receive_interleaved_step(pair.own(), buffer.get(), s);
  ASSERT_EQ(got.got.size(), 2u);
  EXPECT_EQ(got.got[0].data, bytes_t({0x41, 1, 2, 3}));
  EXPECT_EQ(got.got[1].data, bytes_t({0x41, 4, 5}));
  EXPECT_EQ(got.got[1].timestamp, 0x01020304u);

  // Bytes that are no frame go as a whole; the peer's close counts as failed receives.
  const bytes_t garbage = {'x', 'y', 'z', 'w', '$', 0, 0, 4, 1, 2, 3, 4};
  send_all(pair.peer(), garbage.data(), static_cast<int>(garbage.size()), 1000);
  pair.close_peer();
  for (int i = 0; i < 5; ++i) receive_interleaved_step(pair.own(), buffer.get(), s);
  EXPECT_EQ(got.got.size(), 2u);
  EXPECT_EQ(s.failures.load(), 4);
}

struct event_log_t {
  std::mutex lock;
  std::vector<delivery_t> events;  // status events have an empty data and pt 255
  static void handler(void* owner, const char*, std::uint8_t pt, std::uint32_t ts,
                      const std::uint8_t* data, std::int32_t n) {
    auto* self = static_cast<event_log_t*>(owner);
    std::lock_guard guard(self->lock);
    if (data == nullptr)
      self->events.push_back({255, static_cast<std::uint32_t>(n), {}});
    else
      self->events.push_back({pt, ts, bytes_t(data, data + n)});
  }
  std::size_t count() {
    std::lock_guard guard(lock);
    return events.size();
  }
};

std::string read_request(socket_fd fd) {
  std::string text;
  char c;
  while (text.size() < 4096 && !text.ends_with("\r\n\r\n") && recv_exact(fd, &c, 1, 3000) == 1)
    text += c;
  return text;
}

void answer(socket_fd fd, const std::string& text) {
  send_all(fd, text.data(), static_cast<int>(text.size()), 1000);
}

// A camera without "a=control:trackID=" and with an error status for PLAY, that still streams
// and pushes one message on the push channel.
TEST(StreamProbe, PlaysAgainstAScriptedCameraAndStopsWithoutAnEndedEvent) {
  std::vector<std::string> requests;
  std::atomic<bool> done{false};
  testing::script_server server({[&](socket_fd fd) {
    requests.push_back(read_request(fd));
    answer(fd, "RTSP/1.0 200 OK\r\nCSeq: 1\r\nContent-Length: 12\r\n\r\nv=0\r\nm=video\r\n");
    requests.push_back(read_request(fd));
    answer(fd, "RTSP/1.0 200 OK\r\nCSeq: 2\r\nSession:   C0FFEE;timeout=60\r\n\r\n");
    requests.push_back(read_request(fd));
    answer(fd, "RTSP/1.0 454 Session Not Found\r\nCSeq: 3\r\n\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len);
    const socket_fd push =
        connect_to_host("127.0.0.1", static_cast<std::uint16_t>(ntohs(peer.sin_port) + 2), 1000);
    const bytes_t message = {0, 98, 0, 1, 0, 0, 0, 7, 3, 0, 0, 0, 'a', 'b', 'c'};
    send_all(push, message.data(), static_cast<int>(message.size()), 1000);
    const bytes_t media = interleaved(0, rtp(1, 96, {0x41, 9}));
    while (!done) {
      send_all(fd, media.data(), static_cast<int>(media.size()), 1000);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    requests.push_back(read_request(fd));
    close_socket(push);
  }});
  event_log_t log;
  stream_probe* probe =
      probe_start("127.0.0.1", server.port(), true, true, &event_log_t::handler, &log);
  ASSERT_NE(probe, nullptr);
  for (int i = 0; i < 500 && log.count() < 10; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  done = true;
  probe_stop(probe);
  const std::size_t at_stop = log.count();
  server.finish();
  EXPECT_EQ(log.count(), at_stop);

  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0], "DESCRIBE rtsp://127.0.0.1/stream_main RTSP/1.0\r\nCSeq: 1\r\n\r\n");
  EXPECT_EQ(requests[1],
            "SETUP rtsp://127.0.0.1/stream_main/trackID=0 RTSP/1.0\r\nCSeq: 2\r\n"
            "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n");
  EXPECT_EQ(requests[2], "PLAY rtsp://127.0.0.1 RTSP/1.0\r\nCSeq: 3\r\nSession: C0FFEE\r\n\r\n");
  // The keep-alive at pass 0 comes before the teardown.
  EXPECT_EQ(requests[3],
            "GET_PARAMETER rtsp://127.0.0.1 RTSP/1.0\r\nCSeq: 4\r\nSession: C0FFEE\r\n\r\n");

  std::lock_guard guard(log.lock);
  ASSERT_FALSE(log.events.empty());
  EXPECT_EQ(log.events[0].payload_type, 255);
  EXPECT_EQ(log.events[0].timestamp, 1u);  // playing, despite the 454
  int status = 0, pushed = 0, media = 0;
  for (const auto& e : log.events) {
    if (e.payload_type == 255) ++status;
    if (e.payload_type == 98 && e.data == bytes_t({'a', 'b', 'c'}) && e.timestamp == 7u) ++pushed;
    if (e.payload_type == 96) ++media;
  }
  EXPECT_EQ(status, 1);
  EXPECT_EQ(pushed, 1);
  EXPECT_GT(media, 0);
}

}  // namespace
}  // namespace mardo
