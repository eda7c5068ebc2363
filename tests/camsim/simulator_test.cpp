// The parameter interface over HTTP, the request log and the connection counters.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "simulator_fixture.h"

namespace camsim_test {
namespace {

constexpr const char* kAddress = "127.0.0.21";

class ParameterHttpTest : public SimulatorTest {
 protected:
  void SetUp() override { StartWith("ptz_dome", kAddress); }
  HttpTestClient client_;
};

TEST_F(ParameterHttpTest, WildcardGetAnswersOneCrLfLinePerMatch) {
  const HttpResponse response = client_.Get(Url("/params/get.cgi?General.Brand*"));
  ASSERT_EQ(response.code, CURLE_OK);
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body,
            "General.Brand.CompanyName=Orvane\r\n"
            "General.Brand.ModelName=HSD620\r\n"
            "General.Brand.ProductType=Dome HSD620\r\n"
            "General.Brand.ProductName=Orvane HSD620 Day/Night Dome\r\n");
  EXPECT_TRUE(response.has_header("Content-Type: text/plain"));
}

TEST_F(ParameterHttpTest, ExactGetAnswersOnlyThatKey) {
  const HttpResponse response = client_.Get(Url("/params/get.cgi?General.ProductVersion"));
  EXPECT_EQ(response.body, "General.ProductVersion=2.6.12\r\n");
  const HttpResponse newer = client_.Get(Url("/api/param.cgi?req=General.Brand.ProductType"));
  EXPECT_EQ(newer.body, "General.Brand.ProductType=Dome HSD620\r\n");
}

TEST_F(ParameterHttpTest, TargetsWithAndWithoutLeadingSlashGetTheSameAnswer) {
  const std::string with_slash = RawExchange(kAddress, simulator_.port(),
                                             "GET /params/get.cgi?Data-1.Ptz-1.CameraId "
                                             "HTTP/1.1\r\nHost: cam\r\nConnection: close\r\n\r\n",
                                             kGenerousWait);
  const std::string without_slash = RawExchange(
      kAddress, simulator_.port(),
      "GET params/get.cgi?Data-1.Ptz-1.CameraId HTTP/1.1\r\nHost: cam\r\nConnection: close\r\n\r\n",
      kGenerousWait);
  for (const std::string& response : {with_slash, without_slash}) {
    EXPECT_TRUE(response.starts_with("HTTP/1.1 200 OK\r\n")) << response;
    EXPECT_TRUE(response.ends_with("\r\n\r\nData-1.Ptz-1.CameraId=1\r\n")) << response;
  }
  const std::vector<camsim::RequestRecord> log = simulator_.RequestLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].target, "/params/get.cgi?Data-1.Ptz-1.CameraId");
  EXPECT_EQ(log[1].target, "params/get.cgi?Data-1.Ptz-1.CameraId");
}

TEST_F(ParameterHttpTest, ListAnswersTheRangesOfThePtzHead) {
  const HttpResponse response = client_.Get(Url("/params/list.cgi?Data-1.Ptz-1.*"));
  EXPECT_NE(response.body.find("Data-1.Ptz-1.Pan=0\trangemin=-64\trangemax=64\r\n"),
            std::string::npos)
      << response.body;
  EXPECT_NE(response.body.find("Data-1.Ptz-1.GoPreset=0\trangemin=1\trangemax=255\r\n"),
            std::string::npos);
  EXPECT_NE(response.body.find("Data-1.Ptz-1.AutoFocus=On\r\n"), std::string::npos);
}

TEST_F(ParameterHttpTest, SetChangesTheTreeForLaterReads) {
  const HttpResponse set =
      client_.Get(Url("/params/set.cgi?Data-1.Ptz-1.Pan=-5&Data-1.Ptz-1.Tilt=3"));
  EXPECT_EQ(set.status, 200);
  EXPECT_EQ(set.body, "Data-1.Ptz-1.Pan=-5\r\nData-1.Ptz-1.Tilt=3\r\n");
  EXPECT_EQ(client_.Get(Url("/params/get.cgi?Data-1.Ptz-1.Pan")).body, "Data-1.Ptz-1.Pan=-5\r\n");
  EXPECT_EQ(simulator_.GetParameter("Data-1.Ptz-1.Tilt"), "3");
}

TEST_F(ParameterHttpTest, PostFormWritesEncoderSettings) {
  const std::string form =
      "VideoInput.1.h264.1.Resolution=D1\r\n"
      "VideoInput.1.h264.1.FrameRate=25\r\n"
      "VideoInput.1.h264.1.GopSize=25\r\n"
      "VideoInput.1.h264.1.Bitrate=2166\r\n";
  const HttpResponse response = client_.Post(Url("/api/param.cgi"), form);
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, form);
  EXPECT_EQ(simulator_.GetParameter("VideoInput.1.h264.1.Bitrate"), "2166");
  EXPECT_EQ(client_.Get(Url("/api/param.cgi?req=VideoInput.1.h264.1.FrameRate")).body,
            "VideoInput.1.h264.1.FrameRate=25\r\n");
}

TEST_F(ParameterHttpTest, OversizedPostIsRefusedAndChangesNothing) {
  std::string form = "VideoInput.1.h264.1.Bitrate=1\r\n";
  form += std::string(2 << 20, '#');
  const HttpResponse response = client_.Post(Url("/api/param.cgi"), form);
  EXPECT_EQ(response.status, 413);
  EXPECT_EQ(simulator_.GetParameter("VideoInput.1.h264.1.Bitrate"), "2048");
}

TEST_F(ParameterHttpTest, ReloadedProfileAnswersAtOnce) {
  std::string error;
  ASSERT_TRUE(simulator_.LoadProfileText("General.Brand.ModelName=Other\n", &error)) << error;
  EXPECT_EQ(client_.Get(Url("/params/get.cgi?General.Brand*")).body,
            "General.Brand.ModelName=Other\r\n");
  // A malformed profile leaves the running one in place.
  EXPECT_FALSE(simulator_.LoadProfileText("broken line\n", &error));
  EXPECT_EQ(simulator_.GetParameter("General.Brand.ModelName"), "Other");
}

TEST_F(ParameterHttpTest, InProcessWritesShowOnTheWire) {
  simulator_.SetParameter("Data-1.Status.CameraAlarm1", "ON");
  EXPECT_EQ(client_.Get(Url("/params/get.cgi?Data-1.Status.CameraAlarm*")).body,
            "Data-1.Status.CameraAlarm1=ON\r\nData-1.Status.CameraAlarm2=-\r\n");
}

TEST_F(ParameterHttpTest, UnknownPathsAnswer404) {
  EXPECT_EQ(client_.Get(Url("/index.html")).status, 404);
  EXPECT_EQ(client_.Get(Url("/params/nothing.cgi?x")).status, 404);
}

class UnknownKeyTest : public SimulatorTest {};

TEST_F(UnknownKeyTest, MinimalCameraAnswersAnEmptyBody) {
  StartWith("minimal_fixed", "127.0.0.22");
  HttpTestClient client;
  const HttpResponse response = client.Get(Url("/params/get.cgi?Audio-1.Output-1*"));
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "");
  EXPECT_TRUE(response.has_header("Content-Length: 0"));
}

TEST_F(UnknownKeyTest, OldFirmwareAnswers404AndRefusesUnknownWrites) {
  StartWith("old_firmware", "127.0.0.22");
  HttpTestClient client;
  EXPECT_EQ(client.Get(Url("/params/get.cgi?Data-1.Status.AuxOut*")).status, 404);
  EXPECT_EQ(client.Get(Url("/params/set.cgi?Video-1.Encoder-1.Nothing=1")).status, 404);
  // Known keys are answered as usual.
  const HttpResponse known = client.Get(Url("/params/get.cgi?Network.1.Attributes.MacAddress"));
  EXPECT_EQ(known.status, 200);
  EXPECT_EQ(known.body, "Network.1.Attributes.MacAddress=00:1B:9D:31:0C:5E\r\n");
}

class RequestLogTest : public SimulatorTest {
 protected:
  void SetUp() override { StartWith("encoder_4ch", "127.0.0.23"); }
};

TEST_F(RequestLogTest, RecordsMethodTargetBodyStatusAndOrder) {
  HttpTestClient client;
  client.Get(Url("/params/get.cgi?Cc-1*DeviceName*"));
  client.Post(Url("/api/param.cgi"), "VideoInput.2.mjpeg.1.Quality=46\r\n");
  client.Get(Url("/nothing"));
  const std::vector<camsim::RequestRecord> log = simulator_.RequestLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].method, "GET");
  EXPECT_EQ(log[0].target, "/params/get.cgi?Cc-1*DeviceName*");
  EXPECT_EQ(log[0].body, "");
  EXPECT_EQ(log[0].status, 200);
  EXPECT_EQ(log[0].auth, camsim::AuthUsed::kNone);
  EXPECT_TRUE(log[0].auth_accepted);
  EXPECT_EQ(log[1].method, "POST");
  EXPECT_EQ(log[1].target, "/api/param.cgi");
  EXPECT_EQ(log[1].body, "VideoInput.2.mjpeg.1.Quality=46\r\n");
  EXPECT_EQ(log[2].status, 404);
  EXPECT_EQ(log[1].sequence, log[0].sequence + 1);
  EXPECT_EQ(log[2].sequence, log[1].sequence + 1);

  simulator_.ClearRequestLog();
  client.Get(Url("/params/get.cgi?General.ProductVersion"));
  const std::vector<camsim::RequestRecord> after = simulator_.RequestLog();
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].sequence, log[2].sequence + 1);
}

TEST_F(RequestLogTest, TenRequestsOnOneClientUseOneConnection) {
  {
    HttpTestClient client;
    for (int i = 1; i <= 10; ++i) {
      ASSERT_EQ(client
                    .Get(Url("/params/get.cgi?Cc-1.Input-" + std::to_string(i % 4 + 1) +
                             ".CcDetectAlarm"))
                    .status,
                200);
    }
    const camsim::ConnectionCounters open = simulator_.Connections();
    EXPECT_EQ(open.accepted, 1u);
    EXPECT_EQ(open.closed, 0u);
  }
  const std::vector<camsim::RequestRecord> log = simulator_.RequestLog();
  ASSERT_EQ(log.size(), 10u);
  for (const camsim::RequestRecord& record : log)
    EXPECT_EQ(record.connection_id, log[0].connection_id);
  // The client has gone; the server notices the closed connection.
  EXPECT_TRUE(simulator_.WaitForClosedConnections(1, kGenerousWait));
  EXPECT_EQ(simulator_.Connections().open(), 0u);
}

TEST_F(RequestLogTest, TwoClientsAreTwoConnectionsWithTheirOwnIds) {
  HttpTestClient first;
  HttpTestClient second;
  first.Get(Url("/params/get.cgi?General.Brand.ModelName"));
  second.Get(Url("/params/get.cgi?General.Brand.ModelName"));
  first.Get(Url("/params/get.cgi?General.Brand.ModelName"));
  const std::vector<camsim::RequestRecord> log = simulator_.RequestLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_NE(log[0].connection_id, log[1].connection_id);
  EXPECT_EQ(log[0].connection_id, log[2].connection_id);
  EXPECT_EQ(simulator_.Connections().accepted, 2u);
}

TEST_F(RequestLogTest, AdminPathsShowTheLogAndCountersButAreNotLogged) {
  HttpTestClient client;
  client.Get(Url("/params/get.cgi?General.Brand.ModelName"));
  const HttpResponse log = client.Get(Url("/camsim/log"));
  EXPECT_EQ(log.body,
            "seq=1\tconnection=1\tmethod=GET\ttarget=/params/get.cgi?General.Brand.ModelName"
            "\tauth=none\tuser=\taccepted=1\tstatus=200\tbody=\r\n");
  EXPECT_EQ(client.Get(Url("/camsim/connections")).body, "accepted=1\r\nclosed=0\r\nopen=1\r\n");
  EXPECT_EQ(simulator_.RequestLog().size(), 1u);
  EXPECT_EQ(client.Get(Url("/camsim/log?clear")).body, "");
  EXPECT_TRUE(simulator_.RequestLog().empty());
}

TEST_F(RequestLogTest, AdminPathsChangeParametersFaultsAndAuth) {
  HttpTestClient client;
  EXPECT_EQ(client.Get(Url("/camsim/params?Cc-1.Input-2.CcDetectAlarm=ON")).status, 200);
  EXPECT_EQ(simulator_.GetParameter("Cc-1.Input-2.CcDetectAlarm"), "ON");

  EXPECT_EQ(client.Get(Url("/camsim/faults?add=status:params/set.cgi*:503:1")).body,
            "status:params/set.cgi*:503:1\r\n");
  ASSERT_EQ(simulator_.Faults().size(), 1u);
  EXPECT_EQ(client.Get(Url("/params/set.cgi?Cc-1.Output-1.OperationalMode=Invert")).status, 503);
  EXPECT_TRUE(simulator_.Faults().empty());
  EXPECT_EQ(client.Get(Url("/camsim/faults?add=bogus")).status, 400);

  EXPECT_EQ(client.Get(Url("/camsim/auth?mode=basic&user=op&password=pw")).status, 200);
  EXPECT_EQ(simulator_.auth().mode, camsim::AuthMode::kBasic);
  EXPECT_EQ(simulator_.auth().user, "op");
  EXPECT_EQ(client.Get(Url("/params/get.cgi?General.Brand.ModelName")).status, 401);
}

TEST_F(RequestLogTest, WaitForRequestsReturnsOnceTheyArrived) {
  EXPECT_FALSE(simulator_.WaitForRequests(1, std::chrono::milliseconds(50)));
  HttpTestClient client;
  client.Get(Url("/params/get.cgi?General.Brand.ModelName"));
  EXPECT_TRUE(simulator_.WaitForRequests(1, kGenerousWait));
}

TEST(SimulatorLifecycleTest, StartRefusesABadAddressAndASecondStart) {
  camsim::Simulator simulator;
  std::string error;
  EXPECT_FALSE(simulator.Start("not-an-address", 0, &error));
  EXPECT_NE(error.find("not-an-address"), std::string::npos);
  ASSERT_TRUE(simulator.Start("127.0.0.24", 0, &error)) << error;
  EXPECT_FALSE(simulator.Start("127.0.0.24", 0, &error));
  camsim::Simulator other;
  // The same address and port cannot be bound twice.
  EXPECT_FALSE(other.Start("127.0.0.24", simulator.port(), &error));
  simulator.Stop();
  EXPECT_FALSE(simulator.running());
  simulator.Stop();
}

TEST(SimulatorLifecycleTest, RestartsAfterStop) {
  camsim::Simulator simulator;
  std::string error;
  ASSERT_TRUE(simulator.LoadProfileText("A.B=1\n", &error)) << error;
  ASSERT_TRUE(simulator.Start("127.0.0.24", 0, &error)) << error;
  simulator.Stop();
  ASSERT_TRUE(simulator.Start("127.0.0.24", 0, &error)) << error;
  HttpTestClient client;
  EXPECT_EQ(client.Get(simulator.base_url() + "/params/get.cgi?A.B").body, "A.B=1\r\n");
  simulator.Stop();
}

}  // namespace
}  // namespace camsim_test
