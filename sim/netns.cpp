#include "netns.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mc_camera.h"

namespace mardo::sim {
namespace {

// Room for a burst of searches from several workstations without a drop; as root the
// FORCE variants pass net.core.rmem_max.
constexpr int kSocketBuffer = 512 * 1024;

std::string errno_text(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

void set_buffer(int fd, int force_opt, int opt, int size) {
  if (setsockopt(fd, SOL_SOCKET, force_opt, &size, sizeof size) != 0) {
    setsockopt(fd, SOL_SOCKET, opt, &size, sizeof size);
  }
}

sock_filter bpf(std::uint16_t code, std::uint8_t jt, std::uint8_t jf, std::uint32_t k) {
  return sock_filter{code, jt, jf, k};
}

// One netlink request with an acknowledgement; a missing address on delete is not a fault.
bool netlink_request(int fd, nlmsghdr* msg, bool tolerate_missing, std::string* error) {
  static std::uint32_t seq = 0;
  msg->nlmsg_seq = ++seq;
  msg->nlmsg_flags |= NLM_F_REQUEST | NLM_F_ACK;
  if (send(fd, msg, msg->nlmsg_len, 0) < 0) {
    *error = errno_text("netlink send");
    return false;
  }
  alignas(nlmsghdr) char reply[4096];
  for (;;) {
    ssize_t n = recv(fd, reply, sizeof reply, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = errno_text("netlink recv");
      return false;
    }
    auto len = static_cast<std::size_t>(n);
    for (auto* h = reinterpret_cast<nlmsghdr*>(reply); NLMSG_OK(h, len); h = NLMSG_NEXT(h, len)) {
      if (h->nlmsg_seq != msg->nlmsg_seq || h->nlmsg_type != NLMSG_ERROR) continue;
      if (h->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) {
        *error = "netlink: short acknowledgement";
        return false;
      }
      nlmsgerr ack{};
      std::memcpy(&ack, reinterpret_cast<const char*>(h) + NLMSG_HDRLEN, sizeof ack);
      int code = -ack.error;
      if (code == 0 || (tolerate_missing && (code == EADDRNOTAVAIL || code == ENOENT))) {
        return true;
      }
      errno = code;
      *error = errno_text("netlink");
      return false;
    }
  }
}

// A netlink request assembled in place: header, fixed part, attributes.
class request_t {
 public:
  request_t(std::uint16_t type, std::uint16_t flags, std::size_t fixed_size) {
    hdr()->nlmsg_len = static_cast<std::uint32_t>(NLMSG_LENGTH(fixed_size));
    hdr()->nlmsg_type = type;
    hdr()->nlmsg_flags = flags;
  }
  nlmsghdr* hdr() { return reinterpret_cast<nlmsghdr*>(buf_); }
  template <typename T>
  T* fixed() {
    return reinterpret_cast<T*>(buf_ + NLMSG_HDRLEN);
  }
  void add_attr(std::uint16_t type, const void* data, std::size_t size) {
    std::size_t at = NLMSG_ALIGN(hdr()->nlmsg_len);
    rtattr attr{static_cast<std::uint16_t>(RTA_LENGTH(size)), type};
    std::memcpy(buf_ + at, &attr, sizeof attr);
    std::memcpy(buf_ + at + RTA_LENGTH(0), data, size);
    hdr()->nlmsg_len = static_cast<std::uint32_t>(at + RTA_ALIGN(attr.rta_len));
  }

 private:
  alignas(nlmsghdr) char buf_[128] = {};
};

request_t addr_request(std::uint16_t type, std::uint16_t flags, int ifindex, const ipv4_t& ip,
                       int prefix, bool with_address) {
  request_t req(type, flags, sizeof(ifaddrmsg));
  auto* a = req.fixed<ifaddrmsg>();
  a->ifa_family = AF_INET;
  a->ifa_prefixlen = static_cast<std::uint8_t>(prefix);
  a->ifa_scope = RT_SCOPE_UNIVERSE;
  a->ifa_index = static_cast<std::uint32_t>(ifindex);
  req.add_attr(IFA_LOCAL, ip.data(), 4);
  if (with_address) req.add_attr(IFA_ADDRESS, ip.data(), 4);
  return req;
}

}  // namespace

bool in_netns(const std::string& name, const std::function<void()>& fn, std::string* error) {
  int own = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  if (own < 0) {
    *error = errno_text("open /proc/thread-self/ns/net");
    return false;
  }
  std::string path = "/run/netns/" + name;
  int target = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (target < 0) {
    *error = errno_text(("open " + path).c_str());
    ::close(own);
    return false;
  }
  bool entered = setns(target, CLONE_NEWNET) == 0;
  if (!entered) *error = errno_text(("setns " + path).c_str());
  ::close(target);
  if (entered) {
    fn();
    if (setns(own, CLONE_NEWNET) != 0) {
      std::perror("camsim: cannot return to the own network namespace");
      std::abort();
    }
  }
  ::close(own);
  return entered;
}

int open_raw_socket(const std::string& ifname, int* ifindex, std::string* error) {
  // Protocol 0 receives nothing until bind, so the filter is in place before the first frame.
  int fd = socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = errno_text("AF_PACKET socket");
    return -1;
  }
  // ldh [12]; accept 0xFFF0 <= type <= 0xFFF8 whole, drop the rest.
  sock_filter code[] = {
      bpf(BPF_LD | BPF_H | BPF_ABS, 0, 0, 12),
      bpf(BPF_JMP | BPF_JGE | BPF_K, 0, 2, 0xFFF0),
      bpf(BPF_JMP | BPF_JGT | BPF_K, 1, 0, 0xFFF8),
      bpf(BPF_RET | BPF_K, 0, 0, 0x40000),
      bpf(BPF_RET | BPF_K, 0, 0, 0),
  };
  sock_fprog prog{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
  if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) != 0) {
    *error = errno_text("SO_ATTACH_FILTER");
    ::close(fd);
    return -1;
  }
  set_buffer(fd, SO_RCVBUFFORCE, SO_RCVBUF, kSocketBuffer);
  set_buffer(fd, SO_SNDBUFFORCE, SO_SNDBUF, kSocketBuffer);
  unsigned index = if_nametoindex(ifname.c_str());
  if (index == 0) {
    *error = errno_text(("interface " + ifname).c_str());
    ::close(fd);
    return -1;
  }
  sockaddr_ll sll{};
  sll.sll_family = AF_PACKET;
  sll.sll_protocol = htons(ETH_P_ALL);
  sll.sll_ifindex = static_cast<int>(index);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sll), sizeof sll) != 0) {
    *error = errno_text(("bind to " + ifname).c_str());
    ::close(fd);
    return -1;
  }
  *ifindex = static_cast<int>(index);
  return fd;
}

int open_mc_socket(const std::string& ifname, int* ifindex, std::string* error) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = errno_text("UDP socket");
    return -1;
  }
  auto fail = [&](const char* what) {
    *error = errno_text(what);
    ::close(fd);
    return -1;
  };
  unsigned index = if_nametoindex(ifname.c_str());
  if (index == 0) return fail(("interface " + ifname).c_str());
  int on = 1;
  int off = 0;
  int ttl = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) return fail("SO_REUSEADDR");
  set_buffer(fd, SO_RCVBUFFORCE, SO_RCVBUF, kSocketBuffer);
  set_buffer(fd, SO_SNDBUFFORCE, SO_SNDBUF, kSocketBuffer);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(kMcCameraPort);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    return fail("bind 0.0.0.0:9981");
  }
  // By interface index, not address: the membership must outlive a readdressing.
  ip_mreqn group{};
  std::memcpy(&group.imr_multiaddr, kMcGroup.data(), 4);
  group.imr_ifindex = static_cast<int>(index);
  if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group) != 0) {
    return fail("IP_ADD_MEMBERSHIP 224.0.0.99");
  }
  ip_mreqn iface{};
  iface.imr_ifindex = static_cast<int>(index);
  if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface) != 0) {
    return fail("IP_MULTICAST_IF");
  }
  if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0) {
    return fail("IP_MULTICAST_TTL");
  }
  // The camera is alone in its namespace: nothing there wants its own group answers.
  setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &off, sizeof off);
  setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
  *ifindex = static_cast<int>(index);
  return fd;
}

bool move_interface_address(int ifindex, const ipv4_t& old_ip, const ipv4_t& new_ip, int prefix,
                            std::string* error) {
  int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) {
    *error = errno_text("netlink socket");
    return false;
  }
  // Old address first: a new one in the same subnet would be its secondary and go with it.
  // Removing the last address drops the default route, which is then put back.
  request_t del = addr_request(RTM_DELADDR, 0, ifindex, old_ip, 0, false);
  request_t add =
      addr_request(RTM_NEWADDR, NLM_F_CREATE | NLM_F_REPLACE, ifindex, new_ip, prefix, true);
  request_t route(RTM_NEWROUTE, NLM_F_CREATE | NLM_F_REPLACE, sizeof(rtmsg));
  auto* r = route.fixed<rtmsg>();
  r->rtm_family = AF_INET;
  r->rtm_table = RT_TABLE_MAIN;
  r->rtm_protocol = RTPROT_BOOT;
  r->rtm_scope = RT_SCOPE_LINK;
  r->rtm_type = RTN_UNICAST;
  std::uint32_t oif = static_cast<std::uint32_t>(ifindex);
  route.add_attr(RTA_OIF, &oif, sizeof oif);

  bool ok = netlink_request(fd, del.hdr(), true, error) &&
            netlink_request(fd, add.hdr(), false, error) &&
            netlink_request(fd, route.hdr(), false, error);
  ::close(fd);
  return ok;
}

bool readdress_camera(sim_camera_t& cam, int ifindex, std::string* error) {
  if (!assignable_ipv4(cam.ip)) return true;
  int prefix = netmask_prefix(cam.netmask);
  if (prefix <= 0) prefix = 32;
  bool moved = false;
  bool entered = in_netns(
      cam.netns,
      [&] { moved = move_interface_address(ifindex, cam.iface_ip, cam.ip, prefix, error); }, error);
  if (!entered || !moved) return false;
  cam.iface_ip = cam.ip;
  return true;
}

bool assignable_ipv4(const ipv4_t& ip) {
  if (ip == ipv4_t{0, 0, 0, 0}) return false;
  if (ip[0] == 127 || ip[0] >= 224) return false;  // loopback, multicast, class E, broadcast
  return true;
}

}  // namespace mardo::sim
