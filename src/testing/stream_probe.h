#pragma once
// A small RTSP/RTP client that keeps one camera's live stream open until it is stopped:
// DESCRIBE, SETUP, PLAY, keep-alive, and on a broken stream teardown and a new attempt.
// It reports the stream's state and its media to its owner's handler.
#include <cstdint>

namespace mardo {

// Status event: data null, payload type 0, timestamp 0, length 1 (playing) or 0 (the
// connection ended). Media event: data and its length. Called on the probe's threads,
// those of several probes at once.
using probe_handler = void (*)(void* owner, const char* host, std::uint8_t payload_type,
                               std::uint32_t timestamp, const std::uint8_t* data,
                               std::int32_t length);

inline constexpr std::uint16_t kRtspPort = 554;
inline constexpr std::uint16_t kPushProbePort = 8200;

struct stream_probe;

// Starts the probe's thread at once. Null when it cannot be had. `host` is dotted IPv4 text.
stream_probe* probe_start(const char* host, std::uint16_t port, bool interleaved, bool main_stream,
                          probe_handler handler, void* owner);
// Tells the probe to stop and returns at once; probe_stop still has to follow. Lets an owner
// wind many probes down together.
void probe_request_stop(stream_probe* probe);
// Stops the probe, waits for its threads with no time limit and releases it. The handler is
// not called after this returns. Null does nothing.
void probe_stop(stream_probe* probe);

}  // namespace mardo
