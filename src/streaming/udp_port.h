// One bound UDP socket with a receive thread that hands each datagram to the port's user.
//
// The thread takes datagrams in batches: one system call returns everything queued (up to
// kBatchSize), and the thread sleeps in that call only while the socket is empty, so a burst of
// packets costs one wake-up, not one per packet.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

namespace kalmora {

class CUDPPort;

// The receiver of a port's datagrams. Every callback runs on the port's receive thread, except
// the OnClosed that a Close made on another thread calls on that thread.
class IUDPPortUser {
 public:
  virtual ~IUDPPortUser() = default;
  // One datagram of length 1 or more. data points into the port's buffer and is valid only
  // during the call.
  virtual void OnDatagram(CUDPPort* port, const sockaddr_in& sender, const std::uint8_t* data,
                          std::size_t length) = 0;
  // No datagram arrived within the port's wait time.
  virtual void OnTimeout() = 0;
  // The port was closed, or its socket failed and the receive thread ended.
  virtual void OnClosed(CUDPPort* port) = 0;
};

enum UDPOpenResult : int {
  kUDPOpened = 1,
  kUDPAlreadyOpen = 2,
  kUDPSocketFailed = 5,
  kUDPBindFailed = 6,
  kUDPBufferFailed = 8,
  kUDPThreadFailed = 9,
};

// Threads: Open, Close and SetUser take the port lock and may be called from any thread. Close
// waits for the receive thread with the lock held, so the receive thread never waits for the
// lock: called from a callback, Close and SetUser do their work without blocking on it (a Close
// already under way elsewhere is left to finish). The setters of buffer size and wait time may
// be called at any time; Open reads the buffer size, the receive thread the wait time before
// each wait.
class CUDPPort {
 public:
  static constexpr std::size_t kDefaultReceiveBufferSize = 65536;
  // Every datagram is received into a buffer of this size, the largest UDP payload, so none is
  // lost for its size.
  static constexpr std::size_t kMaxDatagramSize = 65536;
  // Datagrams taken from the socket in one system call. Each has a buffer of kMaxDatagramSize;
  // the pages of the batch are mapped on first touch, so what stays resident is what the
  // datagrams filled (about 32 pages for full-sized media packets).
  static constexpr std::size_t kBatchSize = 32;
  // The socket's receive buffer is 32 datagram buffers, at most this many bytes.
  static constexpr int kMaxSocketReceiveBuffer = 131070;

  CUDPPort();
  virtual ~CUDPPort();
  CUDPPort(const CUDPPort&) = delete;
  CUDPPort& operator=(const CUDPPort&) = delete;

  // Binds an IPv4 UDP socket to any local address and port (0: a free port, read back) and
  // starts the receive thread. A UDPOpenResult; on failure the port stays closed. Called from
  // the port's own receive thread after a Close there, it fails with kUDPThreadFailed.
  int Open(std::uint16_t port);
  // Ends reception: shuts the socket down so that a wait or receive in progress returns, joins
  // the receive thread (unless called on it), discards what is still queued, closes the socket
  // and calls the user's OnClosed. Nothing happens when closed. Always true.
  bool Close();
  bool IsOpen() const { return socket_.load() >= 0; }
  // The bound port; 0 when closed.
  std::uint16_t LocalPort() const { return local_port_.load(); }

  // Null: datagrams are received and dropped. Called on another thread than the receive thread,
  // it returns once a callback of the previous user that was running has returned, so that user
  // is not called again afterwards.
  void SetUser(IUDPPortUser* user);
  // The datagram buffer size that sizes the socket's receive buffer at the next Open (32 of them,
  // at most kMaxSocketReceiveBuffer). Datagrams are received whole whatever it is.
  void SetReceiveBufferSize(std::size_t bytes) { receive_buffer_size_.store(bytes); }
  std::size_t ReceiveBufferSize() const { return receive_buffer_size_.load(); }
  // Longest wait for a datagram before OnTimeout; 0 and 0 waits without limit.
  void SetWaitTime(int seconds, int microseconds);
  // The SO_RCVBUF value the last Open asked for; 0 before the first.
  int SocketReceiveBufferRequested() const { return socket_receive_buffer_requested_.load(); }
  // Whether the caller runs on this port's receive thread.
  bool IsReceiveThread() const;

 private:
  void ReceiveLoop(int socket);
  // Hands the batch's datagrams to the current user in order, with callback_mutex_ held for
  // the batch; false when a callback closed the port (the socket is gone).
  bool NotifyDatagrams(const mmsghdr* messages, std::size_t count);
  // Each runs one callback of the current user with callback_mutex_ held.
  void NotifyTimeout();
  void NotifyClosed();
  // Takes lock_ unless a Close made elsewhere is under way; for the receive thread.
  bool LockFromReceiveThread();
  // Joins a receive thread that ended after a Close made on it. False when that is the caller.
  bool JoinEndedThread();

  mutable std::recursive_mutex lock_;  // the port lock
  std::atomic<IUDPPortUser*> user_{nullptr};
  std::atomic<int> socket_{-1};
  std::atomic<std::uint16_t> local_port_{0};
  std::thread thread_;  // guarded by lock_
  std::atomic<std::thread::id> thread_id_{};
  std::atomic<std::size_t> receive_buffer_size_{kDefaultReceiveBufferSize};
  std::atomic<int> wait_seconds_{5};
  std::atomic<int> wait_microseconds_{0};
  std::atomic<bool> running_{false};
  std::atomic<int> socket_receive_buffer_requested_{0};
  // Held by the receive thread for the length of each callback, or batch of datagram callbacks.
  std::mutex callback_mutex_;
};

}  // namespace kalmora
