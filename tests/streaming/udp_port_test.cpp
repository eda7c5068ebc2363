// The UDP port on real loopback sockets: what its user receives, how it opens and closes, and
// closing and changing the user while datagrams arrive.
#include "streaming/udp_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <future>
#include <vector>

#include "udp_test_socket.h"

namespace kalmora {
namespace {

using namespace std::chrono_literals;
using test::UdpTestSocket;

class RecordingUser : public IUDPPortUser {
 public:
  struct Datagram {
    CUDPPort* port;
    sockaddr_in sender;
    std::vector<std::uint8_t> data;
  };

  void OnDatagram(CUDPPort* port, const sockaddr_in& sender, const std::uint8_t* data, std::size_t length) override {
    signal.Update([&] { datagrams.push_back({port, sender, std::vector<std::uint8_t>(data, data + length)}); });
    if (after_datagram) after_datagram(port);
  }
  void OnTimeout() override {
    signal.Update([&] { ++timeouts; });
  }
  void OnClosed(CUDPPort* port) override {
    signal.Update([&] {
      ++closed;
      closed_port = port;
    });
  }

  std::size_t DatagramCount() {
    std::lock_guard<std::mutex> lock(signal.mutex());
    return datagrams.size();
  }
  int ClosedCount() {
    std::lock_guard<std::mutex> lock(signal.mutex());
    return closed;
  }
  bool WaitForDatagrams(std::size_t count) {
    return signal.WaitFor([&] { return datagrams.size() >= count; });
  }

  test::Signal signal;
  std::vector<Datagram> datagrams;
  int timeouts = 0;
  int closed = 0;
  CUDPPort* closed_port = nullptr;
  // Runs on the receive thread after each datagram is recorded.
  std::function<void(CUDPPort*)> after_datagram;
};

std::vector<std::uint8_t> Bytes(std::size_t length, std::uint8_t first) {
  std::vector<std::uint8_t> data(length);
  for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<std::uint8_t>(first + i);
  return data;
}

TEST(UDPPortTest, OpenResults) {
  CUDPPort port;
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.LocalPort(), 0);
  ASSERT_EQ(port.Open(0), kUDPOpened);
  EXPECT_TRUE(port.IsOpen());
  const std::uint16_t bound = port.LocalPort();
  EXPECT_NE(bound, 0);
  // The default 64 KiB buffer would ask for 2 MiB; the request stops at the cap.
  EXPECT_EQ(port.SocketReceiveBufferRequested(), CUDPPort::kMaxSocketReceiveBuffer);

  EXPECT_EQ(port.Open(0), kUDPAlreadyOpen);
  EXPECT_EQ(port.LocalPort(), bound);
  EXPECT_TRUE(port.IsOpen());

  // The port is taken by the open socket, so a second port cannot have it.
  CUDPPort second;
  EXPECT_EQ(second.Open(bound), kUDPBindFailed);
  EXPECT_FALSE(second.IsOpen());
  EXPECT_EQ(second.LocalPort(), 0);

  EXPECT_TRUE(port.Close());
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.LocalPort(), 0);
  EXPECT_TRUE(port.Close());

  // A port bound by someone else on one address also refuses the any-address bind.
  UdpTestSocket other("127.0.0.131");
  ASSERT_TRUE(other.valid());
  EXPECT_EQ(port.Open(other.port()), kUDPBindFailed);
  EXPECT_FALSE(port.IsOpen());

  // Below the cap the request is 32 buffers.
  port.SetReceiveBufferSize(1024);
  ASSERT_EQ(port.Open(0), kUDPOpened);
  EXPECT_EQ(port.SocketReceiveBufferRequested(), 32 * 1024);
  // Reopening after a close works and may take the port given.
  const std::uint16_t again = port.LocalPort();
  port.Close();
  ASSERT_EQ(port.Open(again), kUDPOpened);
  EXPECT_EQ(port.LocalPort(), again);
}

TEST(UDPPortTest, DeliversEveryDatagramWithItsSenderAndIgnoresEmptyOnes) {
  RecordingUser user;
  CUDPPort port;
  port.SetUser(&user);
  ASSERT_EQ(port.Open(0), kUDPOpened);
  UdpTestSocket camera("127.0.0.132");
  ASSERT_TRUE(camera.valid());

  ASSERT_TRUE(camera.SendTo(port.LocalPort(), Bytes(1, 0x41)));
  ASSERT_TRUE(camera.SendTo(port.LocalPort(), {}));  // an empty datagram must not end reception
  ASSERT_TRUE(camera.SendTo(port.LocalPort(), Bytes(1400, 0x10)));
  ASSERT_TRUE(camera.SendTo(port.LocalPort(), {}));
  ASSERT_TRUE(camera.SendTo(port.LocalPort(), Bytes(3, 0xFE)));
  ASSERT_TRUE(user.WaitForDatagrams(3));
  port.Close();

  ASSERT_EQ(user.datagrams.size(), 3u);
  EXPECT_EQ(user.datagrams[0].data, Bytes(1, 0x41));
  EXPECT_EQ(user.datagrams[1].data, Bytes(1400, 0x10));
  EXPECT_EQ(user.datagrams[2].data, Bytes(3, 0xFE));
  for (const auto& datagram : user.datagrams) {
    EXPECT_EQ(datagram.port, &port);
    EXPECT_EQ(datagram.sender.sin_addr.s_addr, test::LoopbackAddress("127.0.0.132", 0).sin_addr.s_addr);
    EXPECT_EQ(ntohs(datagram.sender.sin_port), camera.port());
  }
  EXPECT_EQ(user.closed, 1);
  EXPECT_EQ(user.closed_port, &port);
}

// A burst queued while the receive thread is busy is taken in batches: every datagram still
// arrives once, whole, in order and with its own sender, across the batch boundaries.
TEST(UDPPortTest, AQueuedBurstArrivesInOrderAcrossBatches) {
  RecordingUser user;
  std::promise<void> burst_sent;
  std::shared_future<void> released = burst_sent.get_future().share();
  user.after_datagram = [released](CUDPPort*) { released.wait_for(10s); };
  CUDPPort port;
  port.SetUser(&user);
  ASSERT_EQ(port.Open(0), kUDPOpened);
  UdpTestSocket cameras[] = {UdpTestSocket("127.0.0.132"), UdpTestSocket("127.0.0.132")};
  ASSERT_TRUE(cameras[0].valid() && cameras[1].valid());

  ASSERT_TRUE(cameras[0].SendTo(port.LocalPort(), Bytes(1, 0)));
  ASSERT_TRUE(user.WaitForDatagrams(1));  // the thread now waits in the first callback
  struct Sent {
    std::size_t camera;
    std::vector<std::uint8_t> data;
  };
  std::vector<Sent> expected = {{0, Bytes(1, 0)}};
  const std::size_t burst = 2 * CUDPPort::kBatchSize + 5;
  for (std::size_t i = 1; i <= burst; ++i) {
    // One large datagram and one empty one among the small ones; the empty one is not delivered.
    const std::size_t length = i == CUDPPort::kBatchSize ? 30000 : i == 7 ? 0 : 100 + 7 * i;
    Sent sent{i % 2, Bytes(length, static_cast<std::uint8_t>(i))};
    ASSERT_TRUE(cameras[sent.camera].SendTo(port.LocalPort(), sent.data));
    if (length != 0) expected.push_back(std::move(sent));
  }
  burst_sent.set_value();
  ASSERT_TRUE(user.WaitForDatagrams(expected.size()));
  port.Close();

  ASSERT_EQ(user.datagrams.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(user.datagrams[i].data, expected[i].data) << i;
    EXPECT_EQ(ntohs(user.datagrams[i].sender.sin_port), cameras[expected[i].camera].port()) << i;
  }
}

TEST(UDPPortTest, DatagramsLargerThanTheBufferSizeArriveWhole) {
  RecordingUser user;
  CUDPPort port;
  port.SetUser(&user);
  port.SetReceiveBufferSize(4096);
  ASSERT_EQ(port.Open(0), kUDPOpened);
  UdpTestSocket camera("127.0.0.133");
  ASSERT_TRUE(camera.valid());

  // The first datagram is the large one: nothing before it could have prepared the buffer.
  ASSERT_TRUE(camera.SendTo(port.LocalPort(), Bytes(60000, 1)));
  ASSERT_TRUE(camera.SendTo(port.LocalPort(), Bytes(100, 2)));
  ASSERT_TRUE(user.WaitForDatagrams(2));
  port.Close();

  ASSERT_EQ(user.datagrams.size(), 2u);
  EXPECT_EQ(user.datagrams[0].data, Bytes(60000, 1));
  EXPECT_EQ(user.datagrams[1].data, Bytes(100, 2));
  EXPECT_EQ(port.SocketReceiveBufferRequested(), CUDPPort::kMaxSocketReceiveBuffer);
}

TEST(UDPPortTest, ReportsTimeoutsWhileNothingArrives) {
  RecordingUser user;
  CUDPPort port;
  port.SetUser(&user);
  port.SetWaitTime(0, 20000);
  ASSERT_EQ(port.Open(0), kUDPOpened);
  EXPECT_TRUE(user.signal.WaitFor([&] { return user.timeouts >= 3; }));
  port.Close();
  EXPECT_TRUE(user.datagrams.empty());
  EXPECT_EQ(user.closed, 1);
}

TEST(UDPPortTest, WaitsWithoutLimitWithZeroWaitTimeAndStillCloses) {
  RecordingUser user;
  CUDPPort port;
  port.SetUser(&user);
  port.SetWaitTime(0, 0);
  ASSERT_EQ(port.Open(0), kUDPOpened);
  // The receive blocks in the kernel; Close must still end it.
  port.Close();
  EXPECT_EQ(user.timeouts, 0);
  EXPECT_EQ(user.closed, 1);
}

TEST(UDPPortTest, CloseFromAnotherThreadWhileDatagramsFlow) {
  RecordingUser user;
  std::atomic<bool> closed_returned{false};
  user.after_datagram = [&](CUDPPort*) { EXPECT_FALSE(closed_returned.load()) << "callback after Close returned"; };
  CUDPPort port;
  port.SetUser(&user);
  ASSERT_EQ(port.Open(0), kUDPOpened);
  test::TrafficSender sender("127.0.0.134", port.LocalPort());
  ASSERT_TRUE(user.WaitForDatagrams(50));

  port.Close();
  closed_returned.store(true);
  const std::size_t at_close = user.DatagramCount();
  EXPECT_EQ(user.ClosedCount(), 1);
  EXPECT_FALSE(port.IsOpen());

  // More traffic to the closed port reaches nobody.
  const int sent_at_close = sender.sent();
  while (sender.sent() < sent_at_close + 20) std::this_thread::yield();
  sender.Stop();
  EXPECT_EQ(user.DatagramCount(), at_close);
  port.Close();
  EXPECT_EQ(user.ClosedCount(), 1);
}

TEST(UDPPortTest, CloseInsideACallbackEndsReceptionWithoutDeadlock) {
  RecordingUser user;
  CUDPPort port;
  port.SetUser(&user);
  user.after_datagram = [](CUDPPort* closing) { EXPECT_TRUE(closing->Close()); };
  ASSERT_EQ(port.Open(0), kUDPOpened);
  UdpTestSocket camera("127.0.0.135");
  ASSERT_TRUE(camera.valid());
  const std::uint16_t first_port = port.LocalPort();
  ASSERT_TRUE(camera.SendTo(first_port, Bytes(20, 1)));
  ASSERT_TRUE(camera.SendTo(first_port, Bytes(20, 2)));
  ASSERT_TRUE(user.signal.WaitFor([&] { return user.closed == 1; }));
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(user.DatagramCount(), 1u);

  // A close from outside finds nothing more to do; reopening joins the ended thread.
  port.Close();
  EXPECT_EQ(port.LocalPort(), 0);
  EXPECT_EQ(user.ClosedCount(), 1);
  user.after_datagram = nullptr;
  ASSERT_EQ(port.Open(0), kUDPOpened);
  ASSERT_TRUE(camera.SendTo(port.LocalPort(), Bytes(20, 3)));
  ASSERT_TRUE(user.WaitForDatagrams(2));
  port.Close();
  EXPECT_EQ(user.datagrams[1].data, Bytes(20, 3));
  EXPECT_EQ(user.closed, 2);
}

TEST(UDPPortTest, CloseRacingACloseInsideACallbackClosesOnce) {
  for (int round = 0; round < 20; ++round) {
    RecordingUser user;
    CUDPPort port;
    port.SetUser(&user);
    user.after_datagram = [](CUDPPort* closing) { closing->Close(); };
    ASSERT_EQ(port.Open(0), kUDPOpened);
    test::TrafficSender sender("127.0.0.136", port.LocalPort());
    ASSERT_TRUE(user.WaitForDatagrams(1)) << round;
    port.Close();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(user.ClosedCount(), 1) << round;
    EXPECT_EQ(user.DatagramCount(), 1u) << round;
  }
}

TEST(UDPPortTest, ChangingTheUserWhileDatagramsFlow) {
  RecordingUser first;
  RecordingUser second;
  CUDPPort port;
  port.SetUser(&first);
  ASSERT_EQ(port.Open(0), kUDPOpened);
  test::TrafficSender sender("127.0.0.137", port.LocalPort());
  RecordingUser* users[] = {&first, &second};
  for (int change = 0; change < 6; ++change) {
    RecordingUser& current = *users[change % 2];
    RecordingUser& next = *users[(change + 1) % 2];
    ASSERT_TRUE(current.WaitForDatagrams(current.DatagramCount() + 10)) << change;
    port.SetUser(&next);
    // Once SetUser has returned the previous user hears nothing more.
    const std::size_t left_with = current.DatagramCount();
    ASSERT_TRUE(next.WaitForDatagrams(next.DatagramCount() + 10)) << change;
    EXPECT_EQ(current.DatagramCount(), left_with) << change;
  }
  port.SetUser(nullptr);
  const std::size_t first_count = first.DatagramCount();
  const std::size_t second_count = second.DatagramCount();
  const int sent = sender.sent();
  while (sender.sent() < sent + 20) std::this_thread::yield();
  sender.Stop();
  port.Close();
  EXPECT_EQ(first.DatagramCount(), first_count);
  EXPECT_EQ(second.DatagramCount(), second_count);
  EXPECT_EQ(first.closed + second.closed, 0);

  // Datagram numbers never go backwards across the changes: each went to exactly one user.
  std::vector<std::uint32_t> numbers;
  for (const auto* user : users) {
    for (const auto& datagram : user->datagrams) {
      numbers.push_back((std::uint32_t{datagram.data[8]} << 24) | (std::uint32_t{datagram.data[9]} << 16) |
                        (std::uint32_t{datagram.data[10]} << 8) | datagram.data[11]);
    }
  }
  std::sort(numbers.begin(), numbers.end());
  EXPECT_EQ(std::adjacent_find(numbers.begin(), numbers.end()), numbers.end());
}

TEST(UDPPortTest, DestructorClosesAndTellsTheUser) {
  RecordingUser user;
  std::uint16_t bound = 0;
  {
    CUDPPort port;
    port.SetUser(&user);
    ASSERT_EQ(port.Open(0), kUDPOpened);
    bound = port.LocalPort();
  }
  EXPECT_EQ(user.closed, 1);
  // The socket is gone with the port.
  CUDPPort again;
  EXPECT_EQ(again.Open(bound), kUDPOpened);
}

}  // namespace
}  // namespace kalmora
