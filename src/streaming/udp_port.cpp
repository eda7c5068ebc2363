#include "streaming/udp_port.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <system_error>

namespace kalmora {
namespace {

constexpr int kSocketBuffersPerDatagramBuffer = 32;
constexpr std::size_t kDrainScratchSize = 1024;
constexpr long kMicrosecondsPerSecond = 1000000;

// One step above the thread's current scheduling priority; without the right to raise it the
// thread keeps the priority it has.
void RaisePriority() {
  const auto tid = static_cast<id_t>(gettid());
  errno = 0;
  const int nice_value = getpriority(PRIO_PROCESS, tid);
  if (errno != 0) return;
  (void)setpriority(PRIO_PROCESS, tid, nice_value - 1);
}

}  // namespace

CUDPPort::CUDPPort() = default;

CUDPPort::~CUDPPort() {
  Close();
  std::lock_guard<std::recursive_mutex> lock(lock_);
  // Left only when a callback destroys its own port, which it must not do: the thread still
  // returns into this object. Detached, so that at least the process is not ended here.
  if (thread_.joinable()) thread_.detach();
}

bool CUDPPort::IsReceiveThread() const { return thread_id_.load() == std::this_thread::get_id(); }

void CUDPPort::SetWaitTime(int seconds, int microseconds) {
  long total = std::max(seconds, 0) * kMicrosecondsPerSecond + std::max(microseconds, 0);
  wait_seconds_.store(static_cast<int>(total / kMicrosecondsPerSecond));
  wait_microseconds_.store(static_cast<int>(total % kMicrosecondsPerSecond));
}

bool CUDPPort::JoinEndedThread() {
  if (!thread_.joinable()) return true;
  if (thread_.get_id() == std::this_thread::get_id()) return false;
  thread_.join();
  thread_id_.store(std::thread::id{});
  return true;
}

int CUDPPort::Open(std::uint16_t port) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (IsOpen()) return kUDPAlreadyOpen;
  // A receive thread that closed its own port may still be returning from that callback.
  if (!JoinEndedThread()) return kUDPThreadFailed;

  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return kUDPSocketFailed;

  const std::size_t buffer_size = receive_buffer_size_.load();
  const int requested =
      buffer_size > static_cast<std::size_t>(kMaxSocketReceiveBuffer / kSocketBuffersPerDatagramBuffer)
          ? kMaxSocketReceiveBuffer
          : std::min(static_cast<int>(buffer_size) * kSocketBuffersPerDatagramBuffer, kMaxSocketReceiveBuffer);
  socket_receive_buffer_requested_.store(requested);
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &requested, sizeof requested) != 0) {
    ::close(fd);
    return kUDPBufferFailed;
  }

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return kUDPBindFailed;
  }
  std::uint16_t bound_port = port;
  if (port == 0) {
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) == 0) bound_port = ntohs(bound.sin_port);
  }

  running_.store(true);
  socket_.store(fd);
  local_port_.store(bound_port);
  try {
    thread_ = std::thread([this, fd] { ReceiveLoop(fd); });
  } catch (const std::system_error&) {
    running_.store(false);
    socket_.store(-1);
    local_port_.store(0);
    ::close(fd);
    return kUDPThreadFailed;
  }
  thread_id_.store(thread_.get_id());
  return kUDPOpened;
}

bool CUDPPort::LockFromReceiveThread() {
  while (!lock_.try_lock()) {
    // The holder may be a Close that waits for this thread: it has cleared the flag first.
    if (!running_.load()) return false;
    std::this_thread::yield();
  }
  return true;
}

bool CUDPPort::Close() {
  const bool on_receive_thread = IsReceiveThread();
  if (on_receive_thread) {
    if (!LockFromReceiveThread()) return true;
  } else {
    lock_.lock();
  }
  std::lock_guard<std::recursive_mutex> lock(lock_, std::adopt_lock);

  const int fd = socket_.load();
  if (fd < 0) {
    JoinEndedThread();
    return true;
  }
  running_.store(false);
  // Wakes the receive thread: a wait reports the socket readable and a receive returns 0.
  ::shutdown(fd, SHUT_RDWR);
  if (!on_receive_thread && thread_.joinable()) {
    thread_.join();
    thread_id_.store(std::thread::id{});
  }
  std::uint8_t scratch[kDrainScratchSize];
  while (::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT) > 0) {
  }
  ::close(fd);
  socket_.store(-1);
  if (IUDPPortUser* user = user_.load()) {
    try {
      user->OnClosed(this);
    } catch (...) {
    }
  }
  local_port_.store(0);
  return true;
}

void CUDPPort::SetUser(IUDPPortUser* user) {
  if (IsReceiveThread()) {
    user_.store(user);
    return;
  }
  {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    user_.store(user);
  }
  // Not under the port lock: a callback that closes the port would wait for it.
  std::lock_guard<std::mutex> wait_for_callback(callback_mutex_);
}

bool CUDPPort::NotifyDatagrams(const mmsghdr* messages, std::size_t count) {
  std::lock_guard<std::mutex> lock(callback_mutex_);
  for (std::size_t i = 0; i < count; ++i) {
    const msghdr& message = messages[i].msg_hdr;
    // No IPv4 datagram exceeds its buffer; one cut anyway is dropped, not passed on incomplete.
    // An empty datagram carries nothing.
    if ((message.msg_flags & MSG_TRUNC) != 0 || messages[i].msg_len == 0) continue;
    // Read per datagram: a callback may have set another user.
    if (IUDPPortUser* user = user_.load()) {
      try {
        user->OnDatagram(this, *static_cast<const sockaddr_in*>(message.msg_name),
                         static_cast<const std::uint8_t*>(message.msg_iov->iov_base), messages[i].msg_len);
      } catch (...) {
      }
    }
    if (!running_.load()) return false;
  }
  return true;
}

void CUDPPort::NotifyTimeout() {
  std::lock_guard<std::mutex> lock(callback_mutex_);
  if (IUDPPortUser* user = user_.load()) {
    try {
      user->OnTimeout();
    } catch (...) {
    }
  }
}

void CUDPPort::NotifyClosed() {
  std::lock_guard<std::mutex> lock(callback_mutex_);
  if (IUDPPortUser* user = user_.load()) {
    try {
      user->OnClosed(this);
    } catch (...) {
    }
  }
}

namespace {

// The batch's datagram buffers, mapped without being touched: a page becomes resident only once
// a datagram is written into it.
class BatchBuffers {
 public:
  BatchBuffers() {
    void* mapped = ::mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    data_ = mapped == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(mapped);
  }
  ~BatchBuffers() {
    if (data_ != nullptr) ::munmap(data_, kBytes);
  }
  BatchBuffers(const BatchBuffers&) = delete;
  BatchBuffers& operator=(const BatchBuffers&) = delete;

  std::uint8_t* Slot(std::size_t index) const { return data_ + index * CUDPPort::kMaxDatagramSize; }
  bool Mapped() const { return data_ != nullptr; }

 private:
  static constexpr std::size_t kBytes = CUDPPort::kBatchSize * CUDPPort::kMaxDatagramSize;
  std::uint8_t* data_ = nullptr;
};

// The wait of one receive call, as the socket's receive time-out: 0 waits without limit.
void ApplyWaitTime(int fd, long microseconds) {
  timeval limit{static_cast<time_t>(microseconds / kMicrosecondsPerSecond),
                static_cast<suseconds_t>(microseconds % kMicrosecondsPerSecond)};
  (void)::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

}  // namespace

// The socket stays open until Close, which clears running_ before it shuts the socket down (a
// receive in progress then returns at once); after any callback or wake-up the loop reads
// running_ before it touches the socket again.
void CUDPPort::ReceiveLoop(int fd) {
  thread_id_.store(std::this_thread::get_id());
  pthread_setname_np(pthread_self(), "UDPPort");
  RaisePriority();

  const BatchBuffers buffers;
  if (!buffers.Mapped()) {
    NotifyClosed();
    return;
  }
  mmsghdr messages[kBatchSize];
  iovec pieces[kBatchSize];
  sockaddr_in senders[kBatchSize];
  for (std::size_t i = 0; i < kBatchSize; ++i) {
    pieces[i] = {buffers.Slot(i), kMaxDatagramSize};
    messages[i] = {};
    messages[i].msg_hdr.msg_name = &senders[i];
    messages[i].msg_hdr.msg_iov = &pieces[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }

  long applied_wait = -1;
  std::size_t filled = kBatchSize;  // headers the last receive wrote into
  while (running_.load()) {
    const long wait = wait_seconds_.load() * kMicrosecondsPerSecond + wait_microseconds_.load();
    if (wait != applied_wait) {
      ApplyWaitTime(fd, wait);
      applied_wait = wait;
    }
    // The receive writes the sender's length and the flags of each datagram it took.
    for (std::size_t i = 0; i < filled; ++i) {
      messages[i].msg_hdr.msg_namelen = sizeof senders[i];
      messages[i].msg_hdr.msg_flags = 0;
    }
    // Blocks (up to the wait time) for the first datagram only, then takes what is queued.
    const int received = ::recvmmsg(fd, messages, kBatchSize, MSG_WAITFORONE, nullptr);
    if (!running_.load()) return;
    filled = received > 0 ? static_cast<std::size_t>(received) : 0;
    if (received < 0) {
      const int error = errno;
      if (error == EAGAIN || error == EWOULDBLOCK) {
        if (wait != 0) NotifyTimeout();
        continue;
      }
      if (error == EBADF || error == ENOTSOCK || error == EFAULT || error == EINVAL) {
        NotifyClosed();
        return;
      }
      continue;  // interruption, or an error report queued on the socket
    }
    if (!NotifyDatagrams(messages, static_cast<std::size_t>(received))) return;
  }
}

}  // namespace kalmora
