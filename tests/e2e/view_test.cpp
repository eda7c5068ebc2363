// tessavirn view against the camsim program: every stream type gives decodable live pictures of
// the camera's size, nothing is decoded until someone watches, bad API requests get a 4xx with a
// message and leave the view serving, and the page password guards every path.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "child_program.h"
#include "jpeg_decode.h"
#include "run_command.h"
#include "scratch_folder.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using tessavirn_test::ChildProgram;
using tessavirn_test::RunCommand;

// PTZ channel 0 and the dome's two inputs and relay (the preset file, --param 9, is the test's).
constexpr const char* kPtzAndIo[] = {
    "--param",  "3=Dome HSD620", "--param", "8=1", "--param", "10=F:8; T:64; P:64; Z:8; I:8; Pr:1-255; AF:1; AI:1",
    "--inputs", "2",  "--outputs", "1",  "--param", "12=2", "--param", "13=2"};

struct HttpReply {
  int status = 0;
  std::string body;
};

// A camsim PTZ dome and a tessavirn view of it, both on address, stopped at the end.
class View {
 public:
  View(const tessavirn_test::ScratchFolder& scratch, const std::string& address, std::vector<std::string> view_args)
      : scratch_(scratch),
        camera_({CAMSIM_PROGRAM, "--profile", "ptz_dome", "--addr", address, "--port", "80"}, {},
                scratch.File("camsim-" + address)) {
    EXPECT_TRUE(tessavirn_test::WaitForListener(address.c_str(), 554, 10s)) << camera_.Output();
    std::vector<std::string> argv = {TESSAVIRN_PROGRAM, "view", "--address", address, "--listen", address + ":0"};
    argv.insert(argv.end(), view_args.begin(), view_args.end());
    // In sanitizer builds, LeakSanitizer's exit check of this compiler misreads a dynamic TLS
    // entry of this process and crashes in its own tracer ("Tracer caught signal 11", about one
    // run in four). Without TLS among its roots it does not; GLib's per-thread caches, which the
    // codec libraries bring in and which only TLS points to, are then let off.
    scratch.Write("lsan.supp", "leak:libglib-2.0.so\n");
    view_ = std::make_unique<ChildProgram>(
        argv, std::vector<std::string>{"LSAN_OPTIONS=use_tls=0:suppressions=" + scratch.File("lsan.supp")},
        scratch.File("view-" + address));
    const auto listening = [&] { return view_->Output().find("view: http://") != std::string::npos; };
    EXPECT_TRUE(tessavirn_test::WaitFor(listening, 20s)) << view_->Output();
    const std::string output = view_->Output();
    const auto at = output.find("view: ") + 6;
    url_ = output.substr(at, output.find(' ', at) - at);
  }

  // One request to the view; body, when not empty, is sent with the content type given.
  HttpReply Request(const std::string& method, const std::string& path, const std::string& body = {},
                    const std::string& headers = "-H 'Content-Type: application/json'") const {
    scratch_.Write("request", body);
    const std::string data = body.empty() ? "" : " --data-binary @" + scratch_.File("request");
    const auto result = RunCommand("curl -s --max-time 10 -o " + scratch_.File("reply") + " -w '%{http_code}' -X " +
                                   method + " " + headers + data + " '" + url_ + path.substr(1) + "'");
    return {std::atoi(result.output.c_str()), scratch_.Read("reply")};
  }
  json Status() const { return json::parse(Request("GET", "/api/status").body, nullptr, false); }

  ChildProgram& program() { return *view_; }
  const std::string& url() const { return url_; }

 private:
  const tessavirn_test::ScratchFolder& scratch_;
  ChildProgram camera_;
  std::unique_ptr<ChildProgram> view_;
  std::string url_;
};

// The JPEG pictures of a multipart/x-mixed-replace body, each checked for its part header.
std::vector<std::string> SplitPictures(const std::string& body, std::string& problem) {
  std::vector<std::string> pictures;
  std::size_t at = 0;
  const std::string head = "--tessavirn-picture\r\nContent-Type: image/jpeg\r\nContent-Length: ";
  while (at < body.size()) {
    if (body.compare(at, head.size(), head) != 0) {
      problem = "no part header at byte " + std::to_string(at);
      break;
    }
    at += head.size();
    const std::size_t end = body.find("\r\n\r\n", at);
    if (end == std::string::npos) break;
    const std::size_t length = std::stoul(body.substr(at, end - at));
    at = end + 4;
    if (at + length + 2 > body.size()) break;  // the transfer was cut in the middle of a part
    pictures.push_back(body.substr(at, length));
    at += length;
    if (body.compare(at, 2, "\r\n") != 0) {
      problem = "a part does not end with CRLF";
      break;
    }
    at += 2;
  }
  return pictures;
}

TEST(ViewProgram, EveryStreamTypeShowsPicturesOfTheCameraSizeDecodedOnlyWhileWatched) {
  const struct {
    const char* name;
    const char* address;
    std::vector<std::string> args;
    bool transcoded;
    int width, height;  // of the simulator's media
  } rows[] = {
      {"H.264", "127.0.0.206", {"--stream", "h264"}, true, 640, 480},
      {"MPEG-4", "127.0.0.207", {"--stream", "mpeg4"}, true, 352, 288},
      {"Motion-JPEG over RTSP", "127.0.0.208", {"--stream", "mjpeg", "--param", "6=0"}, false, 640, 480},
      {"Motion-JPEG over HTTP", "127.0.0.209", {"--stream", "mjpeg", "--param", "6=1"}, false, 640, 480},
  };
  tessavirn_test::ScratchFolder scratch;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    View view(scratch, row.address, row.args);
    json idle;
    ASSERT_TRUE(tessavirn_test::WaitFor(
        [&] {
          idle = view.Status()["channels"][0];
          return idle.value("state", "") == "streaming" && idle.value("frames", 0) >= 25;
        },
        20s))
        << view.program().Output();
    EXPECT_EQ(idle["decoded"], 0) << "decoded with nobody watching";
    EXPECT_EQ(idle["pictures"], 0) << "pictures made with nobody watching";

    RunCommand("curl -s -N --max-time 2 -o " + scratch.File("live") + " '" + view.url() + "api/channels/0/live'");
    std::string problem;
    const std::vector<std::string> pictures = SplitPictures(scratch.Read("live"), problem);
    EXPECT_EQ(problem, "");
    EXPECT_GE(pictures.size(), 10u) << "the stream gives 25 frames a second";
    for (const std::string& picture : pictures) {
      const auto decoded = camsim_test::Decode(picture);
      ASSERT_TRUE(decoded.ok);
      EXPECT_EQ(decoded.width, row.width);
      EXPECT_EQ(decoded.height, row.height);
    }
    const json watched = view.Status()["channels"][0];
    EXPECT_EQ(watched["width"], row.width);
    EXPECT_EQ(watched["height"], row.height);
    // Each frame is decoded at most once, whatever the number of pictures made of it.
    EXPECT_LE(watched["decoded"].get<int>(), watched["frames"].get<int>());
    if (row.transcoded) {
      EXPECT_GE(watched["decoded"].get<std::size_t>(), pictures.size());
    } else {
      EXPECT_EQ(watched["decoded"], 0);
    }

    view.program().Signal(SIGINT);
    EXPECT_EQ(view.program().Wait(10s), 0) << view.program().Output();
    EXPECT_NE(view.program().Output().find("view: stopped"), std::string::npos);
  }
}

TEST(ViewProgram, BadRequestsGetAnErrorWithAMessageAndTheViewKeepsServing) {
  tessavirn_test::ScratchFolder scratch;
  const std::string preset_file = "view_test_" + std::to_string(getpid()) + ".xml";
  std::vector<std::string> args(std::begin(kPtzAndIo), std::end(kPtzAndIo));
  args.insert(args.end(), {"--param", "9=" + preset_file});
  View view(scratch, "127.0.0.210", args);
  const std::string json_type = "-H 'Content-Type: application/json'";
  const struct {
    const char* method;
    const char* path;
    std::string body;
    std::string headers;
    int status;
    const char* says;
  } rows[] = {
      {"GET", "/api/channels/5/live", "", json_type, 404, "no channel 5"},
      {"GET", "/api/channels/x/snapshot", "", json_type, 404, "no channel x"},
      {"GET", "/api/channels/0/other", "", json_type, 404, "no such path"},
      {"GET", "/nothing", "", json_type, 404, "no such path"},
      {"POST", "/api/status", "{}", json_type, 405, "read with GET"},
      {"GET", "/api/log?since=minus", "", json_type, 400, "since must be"},
      {"POST", "/api/ptz/0/presets/add", "{\"name\":", json_type, 400, "not well-formed JSON"},
      {"POST", "/api/ptz/0/presets/add", "[\"Door\"]", json_type, 400, "must be a JSON object"},
      {"POST", "/api/ptz/0/presets/add", "{\"name\":7}", json_type, 400, "must be a string"},
      {"POST", "/api/ptz/0/presets/add", "{\"name\":\"a\\u0000b\"}", json_type, 400, "must not contain NUL"},
      {"POST", "/api/ptz/0/presets/add", "{\"name\":\"Door\"}", "", 415, "Content-Type: application/json"},
      {"POST", "/api/ptz/0/presets/add", "{\"name\":\"" + std::string(70000, 'a') + "\"}", json_type, 413,
       "larger than 65536"},
      {"POST", "/api/ptz/0/presets/add", "{\"name\":\"a<b\"}", json_type, 409, "refused AddPreset"},
      {"POST", "/api/ptz/0/presets/go", "{\"name\":\"Nowhere\"}", json_type, 409, "refused GoToPreset"},
      {"POST", "/api/ptz/0/start", "{\"motion\":\"sideways\",\"speed\":8}", json_type, 400, "unknown motion"},
      {"POST", "/api/ptz/0/start", "{\"motion\":\"move-left\",\"speed\":8}", json_type, 400, "unknown motion"},
      {"POST", "/api/ptz/0/start", "{\"motion\":\"left\",\"speed\":17}", json_type, 400, "from 1 to 16"},
      {"POST", "/api/ptz/0/start", "{\"motion\":\"zoom-in\"}", json_type, 400, "from 1 to 16"},
      {"POST", "/api/ptz/1/stop", "{}", json_type, 404, "no PTZ channel 1"},
      {"POST", "/api/ptz/99999999999/stop", "{}", json_type, 404, "no such path"},
      {"GET", "/api/ptz/0/start", "", json_type, 405, "takes POST"},
      {"POST", "/api/outputs/0", "{\"on\":\"yes\"}", json_type, 400, "must be true or false"},
      {"POST", "/api/outputs/1", "{\"on\":true}", json_type, 404, "no output 1"},
      {"GET", "/api/status", "", "-H 'Host: camera.example'", 403, "loopback host names only"},
      // What works, with what the page shows of it.
      {"POST", "/api/ptz/0/presets/add", "{\"name\":\"Door\"}", json_type, 200, "{\"presets\":[\"Door\"]}"},
      {"POST", "/api/ptz/0/presets/rename", "{\"name\":\"Door\",\"new_name\":\"Gate\"}", json_type, 200,
       "{\"presets\":[\"Gate\"]}"},
      {"POST", "/api/outputs/0", "{\"on\":true}", json_type, 200, "{\"on\":true,\"output\":0}"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.method) + " " + row.path + " " + row.body.substr(0, 60));
    const HttpReply reply = view.Request(row.method, row.path, row.body, row.headers);
    EXPECT_EQ(reply.status, row.status) << reply.body;
    EXPECT_NE(reply.body.find(row.says), std::string::npos) << reply.body;
    if (row.status != 200) {
      EXPECT_TRUE(json::parse(reply.body, nullptr, false).contains("error")) << reply.body;
    }
  }
  EXPECT_EQ(view.Request("GET", "/api/ptz/0/presets").body, "{\"presets\":[\"Gate\"]}");
  view.program().Signal(SIGINT);
  EXPECT_EQ(view.program().Wait(10s), 0) << view.program().Output();
  std::filesystem::remove(std::filesystem::path(TESSAVIRN_PROGRAM).parent_path() / preset_file);
}

TEST(ViewProgram, APagePasswordGuardsEveryPathAndOtherAddressesNeedOne) {
  tessavirn_test::ScratchFolder scratch;
  // Refused before anything is opened: nobody else on the network may move the camera.
  const auto open = RunCommand(std::string(TESSAVIRN_PROGRAM) + " view --address 127.0.0.211 --listen 0.0.0.0:0");
  EXPECT_EQ(open.exit_code, 2);
  EXPECT_NE(open.output.find("needs --web-password-file"), std::string::npos) << open.output;
  scratch.Write("empty", "\n");
  const auto empty = RunCommand(std::string(TESSAVIRN_PROGRAM) + " view --address 127.0.0.211 --web-password-file " +
                                scratch.File("empty"));
  EXPECT_EQ(empty.exit_code, 2);
  EXPECT_NE(empty.output.find("is empty"), std::string::npos) << empty.output;

  scratch.Write("password", "s3cret\n");
  View view(scratch, "127.0.0.211", {"--web-password-file", scratch.File("password")});
  const struct {
    const char* credentials;
    int status;
  } rows[] = {{"", 401}, {"-u viewer:wrong", 401}, {"-u viewer:s3cret", 200}, {"-u other:s3cret", 200}};
  for (const char* path : {"/", "/view.js", "/api/status", "/api/channels/0/snapshot"}) {
    for (const auto& row : rows) {
      SCOPED_TRACE(std::string(path) + " " + row.credentials);
      EXPECT_EQ(view.Request("GET", path, "", row.credentials).status, row.status);
    }
  }
  view.program().Signal(SIGINT);
  EXPECT_EQ(view.program().Wait(10s), 0) << view.program().Output();
}

}  // namespace
