#include "net/multicast.h"

#ifndef _WIN32
#include <netinet/udp.h>
#endif

#include <cerrno>
#include <cstring>

#include "core/log.h"
#include "core/stop.h"
#include "net/byte_view.h"
#include "net/json_object.h"
#include "net/tick.h"

namespace mardo {
namespace {

// The kernel must hold the burst of a few hundred cameras answering at once; the default
// buffer (about 200 KiB) holds barely a hundred small datagrams.
constexpr int kMcReceiveBuffer = 4 * 1024 * 1024;

ip_mreq group_request(const char* local_ip) {
  ip_mreq req{};
  req.imr_multiaddr.s_addr = inet_addr(kMcGroup);
  req.imr_interface.s_addr = inet_addr(local_ip);
  return req;
}

void grow_receive_buffer(socket_fd sock) {
#ifndef _WIN32
  // The forced variant passes net.core.rmem_max where the process may; else take what the
  // limit allows.
  if (set_int_option(sock, SOL_SOCKET, SO_RCVBUFFORCE, kMcReceiveBuffer)) return;
#endif
  set_int_option(sock, SOL_SOCKET, SO_RCVBUF, kMcReceiveBuffer);
}

socket_fd close_fail(socket_fd sock) {
  close_socket(sock);
  return kNoSocket;
}

// The switch that stops checksums on the request socket's datagrams.
bool checksums_off(socket_fd sock) {
#ifdef _WIN32
  return set_int_option(sock, IPPROTO_UDP, UDP_NOCHECKSUM, 1);
#else
  return set_int_option(sock, SOL_SOCKET, SO_NO_CHECK, 1);
#endif
}

// The steps every socket of the channel takes: reuse, bind, join, buffer. A group socket
// hears the group only on its own adapter's interface: without that, a socket bound to the
// group hears it on every interface any socket of the process joined, and two adapters'
// exchanges would see each other's answers. It is set before the bind and the join, so not
// one datagram of another adapter's cameras is queued in between.
socket_fd open_member_socket(const char* ip, std::uint32_t bind_addr, bool group_socket) {
  const socket_fd sock = open_socket(SOCK_DGRAM);
  if (sock == kNoSocket) {
    log_printf("[%s]socket error = %d\r\n", ip, errno);
    return kNoSocket;
  }
  if (!set_int_option(sock, SOL_SOCKET, SO_REUSEADDR, 1)) {
    log_printf("[%s]setsockopt SOL_SOCKET SO_REUSEADDR, iRet=%d  LastError=%d\r\n", ip, -1,
               last_socket_error());
    return close_fail(sock);
  }
#ifndef _WIN32
  if (group_socket) set_int_option(sock, IPPROTO_IP, IP_MULTICAST_ALL, 0);
#endif
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(kMcAnswerPort);
  local.sin_addr.s_addr = bind_addr;
  if (bind(sock, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    const int why = last_socket_error();
#ifdef _WIN32
    // Windows binds no socket to a group address; the adapter's socket hears the group.
    if (group_socket && why == EADDRNOTAVAIL) return close_fail(sock);
#endif
    log_printf("[%s]bind error, iRet=%d, LastError=%d\r\n", ip, -1, why);
    return close_fail(sock);
  }
  const ip_mreq req = group_request(ip);
  if (!set_option(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &req, sizeof req)) {
    log_printf("[%s]setsockopt IPPROTO_IP IP_ADD_MEMBERSHIP, iRet=%d  LastError=%d\r\n", ip, -1,
               last_socket_error());
    return close_fail(sock);
  }
  grow_receive_buffer(sock);
  return sock;
}

}  // namespace

bool open_mc_socket(const char* local_ip, mc_socket_t& out) {
  out = mc_socket_t{};
  if (!local_ip || std::strcmp(local_ip, "0.0.0.0") == 0) return false;
  const socket_fd sock = open_member_socket(local_ip, inet_addr(local_ip), false);
  if (sock == kNoSocket) return false;
  if (!checksums_off(sock)) {
    const int why = last_socket_error();
    log_printf("[%s]setsockopt IPPROTO_UDP UDP_NOCHECKSUM, iRet=%d  LastError=%d\r\n", local_ip, -1,
               why);
#ifdef _WIN32
    // Wine's stack has no such switch (it refuses the option as invalid) and sends the
    // datagrams with checksums, which every receiver takes; any other refusal ends the
    // exchange, as it always does on Linux.
    const bool without_switch = why == ENOPROTOOPT || why == EINVAL;
#else
    const bool without_switch = false;
#endif
    if (!without_switch) {
      close_socket(sock);
      return false;
    }
  }
  // The request leaves by this adapter even where the routes would choose another.
  in_addr iface{};
  iface.s_addr = inet_addr(local_ip);
  set_option(sock, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface);

  const socket_fd group = open_member_socket(local_ip, inet_addr(kMcGroup), true);
#ifdef _WIN32
  const bool group_needed = false;
#else
  const bool group_needed = true;
#endif
  if (group == kNoSocket && group_needed) {
    close_socket(sock);
    return false;
  }

  out.iSock = sock;
  out.iGroupSock = group;
  out.local_ip = local_ip;
  return true;
}

int mc_send(const mc_socket_t& sock, std::string_view text) {
  std::uint8_t buffer[kMcBufferSize] = {};
  int sent = -1;
  int error = 0;
  const std::string request(text);
  // Header, text and a terminating NUL must fit the buffer.
  if (text.size() + 9 <= sizeof buffer) {
    put_le32(buffer, MC_IDENTIFY);
    put_le32(buffer + 4, static_cast<std::uint32_t>(text.size()));
    std::memcpy(buffer + 8, text.data(), text.size());
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kMcRequestPort);
    to.sin_addr.s_addr = inet_addr(kMcGroup);
    errno = 0;
    sent = send_datagram(sock.iSock, buffer, static_cast<int>(8 + text.size()), to);
    error = sent < 0 ? errno : 0;
  } else {
    error = EMSGSIZE;
  }
  log_printf("[%s]Send: iSend=%d, acTempBuf=%s, error=%d\r\n", sock.local_ip.c_str(), sent,
             request.c_str(), error);
  return sent;
}

mc_pass_t mc_receive(const mc_socket_t& sock, mc_header_t& header, std::string& text) {
  pollfd waits[2] = {{sock.iSock, POLLIN, 0}, {sock.iGroupSock, POLLIN, 0}};
  if (sock.iSock == kNoSocket && sock.iGroupSock == kNoSocket) return mc_pass_t::nothing;
  // Either socket may be missing; the wait skips it.
  if (poll_sockets(waits, 2, kMcPassMs) <= 0) return mc_pass_t::nothing;
  // A socket with an error pending is read too: the failed receive clears it.
  const socket_fd ready = waits[0].revents ? sock.iSock : sock.iGroupSock;

  std::uint8_t buffer[kMcBufferSize] = {};
  // An oversized datagram is recognised and dropped.
  bool cut = false;
  const int got = recv_datagram(ready, buffer, sizeof buffer, nullptr, &cut);
  if (got <= 0 || cut) return mc_pass_t::nothing;

  const char* ip = sock.local_ip.c_str();
  switch (mc_parse_datagram(buffer, static_cast<std::size_t>(got), header, text)) {
    case mc_datagram_t::bad_identify:
      log_printf("[%s]Recv:uiIdentify=0x%x error\r\n", ip, header.uiIdentify);
      return mc_pass_t::dropped;
    case mc_datagram_t::zero_length:
      log_printf("[%s]Recv:uiDataLen=%d error\r\n", ip, static_cast<int>(header.uiDataLen));
      return mc_pass_t::dropped;
    case mc_datagram_t::text:
      break;
  }
  return mc_pass_t::text;
}

mc_datagram_t mc_parse_datagram(const std::uint8_t* data, std::size_t size, mc_header_t& header,
                                std::string& text) {
  std::uint8_t head_bytes[8] = {};
  if (size > 0) std::memcpy(head_bytes, data, size < 8 ? size : 8);
  byte_reader head(head_bytes, sizeof head_bytes);
  header.uiIdentify = head.le32();
  header.uiDataLen = head.le32();
  text.clear();
  if (header.uiIdentify != MC_IDENTIFY) return mc_datagram_t::bad_identify;
  if (header.uiDataLen == 0) return mc_datagram_t::zero_length;
  byte_reader body(data, size);
  body.seek(size < 8 ? size : 8);
  text.assign(body.cstr());
  return mc_datagram_t::text;
}

void close_mc_socket(mc_socket_t& sock) {
  const ip_mreq req = group_request(sock.local_ip.c_str());
  for (socket_fd* s : {&sock.iSock, &sock.iGroupSock}) {
    if (*s == kNoSocket) continue;
    set_option(*s, IPPROTO_IP, IP_DROP_MEMBERSHIP, &req, sizeof req);
    close_socket(*s);
    *s = kNoSocket;
  }
}

int mc_exchange(const char* local_ip, const char* mac, const char* request) {
  // A request whose answer nobody would wait for is not sent.
  if (stop_requested()) return 0;
  mc_socket_t sock;
  if (!open_mc_socket(local_ip, sock)) return 0;
  mc_send(sock, request ? request : "");
  int result = 0;
  const std::uint64_t t0 = tick_ms();
  while (tick_ms() - t0 <= static_cast<std::uint64_t>(kMcExchangeMs) && !stop_requested()) {
    mc_header_t header{};
    std::string text;
    if (mc_receive(sock, header, text) != mc_pass_t::text) continue;
    log_printf("[%s]Recv:uiIdentify=0x%x, uiDataLen=%d, msg=%s\r\n", local_ip, header.uiIdentify,
               static_cast<int>(header.uiDataLen), text.c_str());
    const json_object answer(text);
    if (answer.str("cmd") == "modifyDevIpRsp" && answer.str("errMsg") == "noerror" &&
        answer.str("mac") == (mac ? mac : "")) {
      result = 1;
      break;
    }
  }
  close_mc_socket(sock);
  return result;
}

}  // namespace mardo
