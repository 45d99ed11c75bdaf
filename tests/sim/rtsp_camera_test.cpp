#include "rtsp_camera.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include "sim_config.h"

namespace mardo::sim {
namespace {

using bytes_t = std::vector<std::uint8_t>;

// The probe's three requests as it sends them, back to back.
const std::string kDescribe = "DESCRIBE rtsp://192.0.2.10/stream_main RTSP/1.0\r\nCSeq: 1\r\n\r\n";
const std::string kSetup =
    "SETUP rtsp://192.0.2.10/stream_main/trackID=0 RTSP/1.0\r\nCSeq: 2\r\n"
    "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n";
const std::string kPlay = "PLAY rtsp://192.0.2.10 RTSP/1.0\r\nCSeq: 3\r\nSession: ABC\r\n\r\n";

TEST(RtspCamera, RequestsAreTakenWholeWhateverTheSegments) {
  const std::string stream = kDescribe + kSetup + kPlay;
  for (std::size_t segment : {std::size_t{1}, std::size_t{3}, std::size_t{61}, stream.size()}) {
    SCOPED_TRACE("segment " + std::to_string(segment));
    bytes_t buffered;
    std::vector<rtsp_request_t> got;
    for (std::size_t at = 0; at < stream.size(); at += segment) {
      const std::string piece = stream.substr(at, segment);
      buffered.insert(buffered.end(), piece.begin(), piece.end());
      while (auto size = rtsp_request_size(buffered)) {
        auto r = parse_rtsp_request(std::string(buffered.begin(), buffered.begin() + *size));
        ASSERT_TRUE(r);
        got.push_back(*r);
        buffered.erase(buffered.begin(), buffered.begin() + static_cast<std::ptrdiff_t>(*size));
      }
    }
    EXPECT_TRUE(buffered.empty());
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].method, "DESCRIBE");
    EXPECT_EQ(got[0].url, "rtsp://192.0.2.10/stream_main");
    EXPECT_EQ(got[1].method, "SETUP");
    EXPECT_EQ(got[1].cseq, "2");
    EXPECT_EQ(got[1].transport, "RTP/AVP/TCP;unicast;interleaved=0-1");
    EXPECT_EQ(got[2].method, "PLAY");
    EXPECT_EQ(got[2].cseq, "3");
    EXPECT_EQ(got[2].session, "ABC");
  }
  EXPECT_FALSE(parse_rtsp_request("hello\r\n\r\n")) << "no request line";
}

std::uint32_t be32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

struct stream_row {
  const char* name;
  int payload, kbps, interleave_channel, lose_nal;
  std::size_t fragments_per_slice;  // 1: single NAL packets
  bool loses;                       // lose_nal names a NAL unit of 3 or more fragments
};

// Rebuilds the NAL units of a stream's frames from its RTP packets alone and checks every
// byte, sequence number, timestamp and flag against what a receiver may rely on.
TEST(RtspCamera, StreamRebuildsIntoSelfDescribingNalUnits) {
  constexpr int kFrames = 30;
  const stream_row rows[] = {
      {"single_packets", 1400, 256, -1, -1, 1, false},
      {"nal_exactly_the_payload", 1280, 256, -1, -1, 1, false},
      {"one_byte_over", 1279, 256, 0, -1, 2, false},
      {"fragments_interleaved", 100, 256, 0, -1, 14, false},
      {"fragments_udp", 1400, 2000, -1, -1, 8, false},
      {"second_fragment_of_the_idr_lost", 100, 256, 2, 2, 14, true},
      {"second_fragment_of_a_slice_lost", 100, 256, -1, 5, 14, true},
      {"loss_asked_of_the_pps", 100, 256, 0, 1, 14, false},
  };
  for (const stream_row& row : rows) {
    SCOPED_TRACE(row.name);
    sim_rtsp_t rtsp;
    rtsp.payload = row.payload;
    rtsp.kbps = row.kbps;
    rtsp.gop = 10;
    rtsp.seq_start = 65500;  // the rollover comes within the run
    rtsp.lose_nal = row.lose_nal;
    const std::uint32_t ssrc = 0xCAFE0001;
    rtp_stream stream(rtsp, ssrc);
    std::uint16_t expect_seq = 65500;
    std::uint32_t serial = 0;
    std::vector<std::uint32_t> lost, unfit, broken;
    rtp_frame_t frame;
    for (int tick = 0; tick < kFrames; ++tick) {
      stream.next_frame(static_cast<std::uint64_t>(tick), row.interleave_channel, frame);
      if (frame.lost_serial) lost.push_back(*frame.lost_serial);
      if (frame.unfit_serial) unfit.push_back(*frame.unfit_serial);
      // The interleaved framing, walked from the buffer alone.
      std::vector<std::pair<const std::uint8_t*, std::size_t>> packets;
      for (std::size_t at = 0; at < frame.bytes.size();) {
        ASSERT_LT(packets.size(), frame.packets.size());
        const std::size_t size = frame.packets[packets.size()].size;
        if (row.interleave_channel >= 0) {
          ASSERT_EQ(frame.bytes[at], '$');
          ASSERT_EQ(frame.bytes[at + 1], row.interleave_channel);
          ASSERT_EQ(std::size_t{frame.bytes[at + 2]} << 8 | frame.bytes[at + 3], size);
          at += 4;
        }
        packets.emplace_back(frame.bytes.data() + at, size);
        at += size;
      }
      ASSERT_EQ(packets.size(), frame.packets.size());
      const bool key = tick % rtsp.gop == 0;
      const std::vector<std::uint8_t> headers =
          key ? std::vector<std::uint8_t>{0x67, 0x68, 0x65} : std::vector<std::uint8_t>{0x41};
      std::size_t next = 0;
      for (std::uint8_t header : headers) {
        bytes_t nal;
        bool whole = true, started = false, ended = false;
        std::size_t fragments = 0;
        while (!ended) {
          ASSERT_LT(next, packets.size()) << "frame " << tick;
          const auto [p, size] = packets[next++];
          ++fragments;
          ASSERT_GE(size, kRtpHeaderSize + 2);
          EXPECT_LE(size - kRtpHeaderSize, static_cast<std::size_t>(rtsp.payload));
          EXPECT_EQ(p[0], 0x80);
          EXPECT_EQ(p[1] & 0x7F, 96);
          EXPECT_EQ((p[1] & 0x80) != 0, next == packets.size()) << "marker on the frame's last";
          const std::uint16_t seq = static_cast<std::uint16_t>(p[2] << 8 | p[3]);
          if (seq != expect_seq) whole = false;
          expect_seq = static_cast<std::uint16_t>(seq + 1);
          EXPECT_EQ(be32(p + 4), ssrc + static_cast<std::uint32_t>(tick) * 3600);
          EXPECT_EQ(be32(p + 8), ssrc);
          const std::uint8_t* data = p + kRtpHeaderSize;
          const std::size_t len = size - kRtpHeaderSize;
          if ((data[0] & 0x1F) != 28) {
            EXPECT_FALSE(started);
            nal.assign(data, data + len);
            ended = true;
            continue;
          }
          EXPECT_EQ(data[0], (header & 0xE0) | 28);
          EXPECT_EQ(data[1] & 0x1F, header & 0x1F);
          const bool s = data[1] & 0x80, e = data[1] & 0x40;
          EXPECT_EQ(s, !started) << "start bit on the first fragment only";
          if (s) nal.push_back(static_cast<std::uint8_t>((data[0] & 0xE0) | (data[1] & 0x1F)));
          started = true;
          nal.insert(nal.end(), data + 2, data + len);
          ended = e;
        }
        if (whole && (header == 0x65 || header == 0x41)) {
          EXPECT_EQ(fragments, row.fragments_per_slice);
        }
        if (!whole) {
          broken.push_back(serial);
        } else {
          bytes_t want;
          fill_nal(header, serial, nal.size(), want);
          EXPECT_EQ(nal, want) << "NAL " << serial;
          EXPECT_EQ(be32(nal.data() + 5), nal.size());
        }
        ++serial;
      }
      EXPECT_EQ(next, packets.size());
    }
    EXPECT_EQ(stream.nals_sent(), serial);
    const std::vector<std::uint32_t> lost_want =
        row.loses ? std::vector<std::uint32_t>{static_cast<std::uint32_t>(row.lose_nal)}
                  : std::vector<std::uint32_t>{};
    EXPECT_EQ(lost, lost_want);
    EXPECT_EQ(broken, lost_want) << "a receiver finds exactly the lost NAL unit broken";
    EXPECT_EQ(unfit.size(), row.lose_nal >= 0 && !row.loses ? 1u : 0u);
  }
}

std::string one_camera(const std::string& members) {
  return R"({"cameras":[{"netns":"t1-c0","mac":"02:00:01:00:00:07","ip":"192.0.2.10")" +
         (members.empty() ? "" : "," + members) + "}]}";
}

TEST(RtspCamera, ConfigMembersAreReadAndBadOnesNamed) {
  std::string error;
  auto cfg = parse_sim_config(one_camera(""), &error);
  ASSERT_TRUE(cfg) << error;
  EXPECT_TRUE(
      std::regex_match(cfg->cameras[0].rtsp.session, std::regex(" [0-9A-F]{16};timeout=60")))
      << cfg->cameras[0].rtsp.session;
  EXPECT_FALSE(cfg->cameras[0].rtsp.dark);

  cfg = parse_sim_config(
      one_camera(R"("rtsp_track":-1,"rtsp_describe":"silence","rtsp_session":"   ABC",)"
                 R"("rtsp_dark":{"play_ms":2000,"dark_ms":7000},"port8200":true,)"
                 R"("power_cuts":[{"play_ms":1000,"off_ms":3000},{"play_ms":0,"off_ms":1}])"),
      &error);
  ASSERT_TRUE(cfg) << error;
  const sim_rtsp_t& r = cfg->cameras[0].rtsp;
  EXPECT_EQ(r.track, -1);
  EXPECT_EQ(r.describe, rtsp_describe_t::silence);
  EXPECT_EQ(r.session, "   ABC");
  ASSERT_TRUE(r.dark);
  EXPECT_EQ(r.dark->dark_ms, 7000);
  ASSERT_EQ(r.power_cuts.size(), 2u);
  EXPECT_EQ(r.power_cuts[0].off_ms, 3000);
  EXPECT_EQ(r.power_cuts[1].play_ms, 0);
  EXPECT_TRUE(r.port8200);

  const std::pair<const char*, const char*> bad[] = {
      {R"("rtsp_fps":0)", "cameras[0].rtsp_fps: "},
      {R"("rtsp_payload":15)", "cameras[0].rtsp_payload: "},
      {R"("rtsp_track":-2)", "cameras[0].rtsp_track: "},
      {R"("rtsp_describe":"later")", "cameras[0].rtsp_describe: "},
      {R"("rtsp_session":"A\r\nX: 1")", "cameras[0].rtsp_session: "},
      {R"("rtsp_dark":{"play_ms":1})", "cameras[0].rtsp_dark.dark_ms: missing"},
      {R"("rtsp_dark":[])", "cameras[0].rtsp_dark: "},
      {R"("power_cuts":[{"play_ms":1,"off_ms":1},{"off_ms":1}])",
       "cameras[0].power_cuts[1].play_ms: missing"},
      {R"("port8200":1)", "cameras[0].port8200: "},
  };
  for (const auto& [members, want] : bad) {
    SCOPED_TRACE(members);
    error.clear();
    EXPECT_FALSE(parse_sim_config(one_camera(members), &error));
    EXPECT_EQ(error.substr(0, std::string(want).size()), want);
  }
}

}  // namespace
}  // namespace mardo::sim
