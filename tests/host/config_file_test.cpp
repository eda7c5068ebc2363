#include "config_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "scratch_folder.h"

namespace tessavirn_host {
namespace {

using Parameters = std::map<std::uint32_t, std::string>;

TEST(ConfigFile, FillsWhatTheCommandLineLeftAndNamesTheBadLine) {
  const std::string kFile =
      "# saved by probe\n"
      "address=127.0.0.9\r\n"
      "port=8080\n"
      "\n"
      "user=viewer\n"
      "stream=mpeg4\n"
      "channels=4\n"
      "inputs=2\n"
      "outputs=1\n"
      "model=Dome HSD620\n"
      "param.1=5000\n"
      "param.03=x=y\n";
  const struct {
    const char* label;
    std::string text;
    std::set<std::string> keep;
    const char* error;  // empty: accepted
  } kRows[] = {
      {"whole file, nothing given", kFile, {}, ""},
      {"command line keeps its values", kFile, {"address", "port", "stream", "model", "param.1", "param.3"}, ""},
      {"empty file", "", {}, ""},
      {"no equals sign", "address=a\nport 80\n", {}, "line 2: not key=value: \"port 80\""},
      {"empty key", "=5\n", {}, "line 1: not key=value"},
      {"unknown key", "\n\nadress=a\n", {}, "line 3: unknown key \"adress\""},
      {"key with a space", "port =80\n", {}, "line 1: unknown key \"port \""},
      {"password refused", "user=u\npassword=secret\n", {}, "line 2: a password is not kept in the file"},
      {"repeated key", "port=80\nport=81\n", {}, "line 2: \"port\" is given a second time"},
      {"repeated parameter", "param.3=a\nparam.03=b\n", {}, "line 2: \"param.3\" is given a second time"},
      {"port zero", "port=0\n", {}, "line 1: port must be from 1 to 65535"},
      {"port too big", "port=65536\n", {}, "line 1: port must be"},
      {"bad stream", "stream=vp9\n", {}, "line 1: stream must be"},
      {"negative count", "channels=-1\n", {}, "line 1: channels must be a number"},
      {"parameter zero", "param.0=1\n", {}, "line 1: \"param.0\" must be param.N"},
      {"parameter without index", "param.=1\n", {}, "line 1: \"param.\" must be param.N"},
      {"empty address", "address=\n", {}, "line 1: the address is empty"},
      // A value the command line overrides is still checked.
      {"bad overridden value", "port=x\n", {"port"}, "line 1: port must be"},
  };
  for (const auto& row : kRows) {
    DeviceConfig config;
    config.address = "cli-host";
    config.port = 81;
    config.stream_type = 3;
    config.model = "cli model";
    config.custom_parameters = {{1, "2000"}, {3, "cli"}};
    std::string error;
    const bool accepted = ApplyConfigText(row.text, row.keep, config, error);
    if (*row.error != '\0') {
      EXPECT_FALSE(accepted) << row.label;
      EXPECT_EQ(error.rfind(row.error, 0), 0u) << row.label << ": " << error;
      continue;
    }
    ASSERT_TRUE(accepted) << row.label << ": " << error;
    const bool kept = !row.keep.empty();
    const bool read = !row.text.empty();
    EXPECT_EQ(config.address, read && !kept ? "127.0.0.9" : "cli-host") << row.label;
    EXPECT_EQ(config.port, read && !kept ? 8080 : 81) << row.label;
    EXPECT_EQ(config.stream_type, read && !kept ? 2 : 3) << row.label;
    EXPECT_EQ(config.model, read && !kept ? "Dome HSD620" : "cli model") << row.label;
    // Keys the command line did not give come from the file either way.
    EXPECT_EQ(config.user, read ? "viewer" : "") << row.label;
    EXPECT_EQ(config.video_channels, read ? 4 : 1) << row.label;
    EXPECT_EQ(config.digital_inputs, read ? 2 : 0) << row.label;
    EXPECT_EQ(config.digital_outputs, read ? 1 : 0) << row.label;
    EXPECT_EQ(config.custom_parameters, !read  ? (Parameters{{1, "2000"}, {3, "cli"}})
                                        : kept ? (Parameters{{1, "2000"}, {3, "cli"}})
                                               : (Parameters{{1, "5000"}, {3, "x=y"}}))
        << row.label;
    EXPECT_TRUE(config.password.empty()) << row.label;
  }
}

// The driver publishes through the results objects; what probe --save writes from that.
TEST(ConfigFile, SavedSettingsCarryWhatTheDriverPublishedButNeverThePassword) {
  const struct {
    const char* label;
    std::vector<std::pair<std::int32_t, std::int32_t>> codecs;  // capability id, value
    const char* stream_line;                                    // empty: no stream line
  } kRows[] = {
      {"all three", {{kCapMjpeg, 1}, {kCapMpeg4, 1}, {kCapH264, 1}}, "stream=h264\n"},
      {"no H.264", {{kCapMjpeg, 1}, {kCapMpeg4, 1}, {kCapH264, 0}}, "stream=mpeg4\n"},
      {"Motion-JPEG only", {{kCapMjpeg, 1}, {kCapMpeg4, 0}}, "stream=mjpeg\n"},
      {"none published", {}, ""},
  };
  for (const auto& row : kRows) {
    CapabilityRecorder recorder;
    kalmora::ipcapture::ICapabilityResults& results = recorder;
    results.SetModelName("HSD620");
    results.SetCapability(kCapVideoInputs, 1);
    results.SetCapability(kCapDigitalInputs, 2);
    results.SetCapability(kCapDigitalOutputs, 1);
    for (const auto& [id, value] : row.codecs) results.SetCapability(id, value);
    std::string host = "127.0.0.9";
    results.GetConnectionField(1)->SetText(host.c_str());
    host = "overwritten";  // the text is only lent for the call
    results.GetConnectionField(2)->SetText("8080");
    results.GetConnectionField(3)->SetText(nullptr);
    results.GetConnectionField(4)->SetText("s3cret");
    for (int i = 1; i <= 14; ++i) {
      auto* parameter = results.GetParameter(i);
      parameter->SetName(("name " + std::to_string(i)).c_str());
      parameter->SetValue(i == 1 ? "5000" : i == 3 ? "Dome HSD620" : "");
      parameter->SetKind(i == 3 ? 1 : 0);
    }

    std::string text;
    std::string error;
    ASSERT_TRUE(FormatSettingsFile(recorder.Report(), {"asked-host", 80, "admin"}, text, error)) << row.label;
    EXPECT_EQ(text.find("s3cret"), std::string::npos) << row.label;
    EXPECT_EQ(text.find("password"), std::string::npos) << row.label;
    EXPECT_EQ(text, std::string("address=127.0.0.9\nport=8080\nuser=admin\n") + row.stream_line +
                        "channels=1\ninputs=2\noutputs=1\nmodel=HSD620\nparam.1=5000\nparam.2=\n"
                        "param.3=Dome HSD620\nparam.4=\nparam.5=\nparam.6=\nparam.7=\nparam.8=\nparam.9=\n"
                        "param.10=\nparam.11=\nparam.12=\nparam.13=\nparam.14=\n")
        << row.label;
    // What was saved reads back whole.
    DeviceConfig config;
    ASSERT_TRUE(ApplyConfigText(text, {}, config, error)) << row.label << ": " << error;
    EXPECT_EQ(config.custom_parameters.size(), 14u) << row.label;
    EXPECT_EQ(config.custom_parameters.at(3), "Dome HSD620") << row.label;
  }

  // A value that would end its line early is refused rather than written.
  CapabilityRecorder recorder;
  recorder.GetParameter(2)->SetValue("0\nport=1");
  std::string text;
  std::string error;
  EXPECT_FALSE(FormatSettingsFile(recorder.Report(), {"host", 80, ""}, text, error));
  EXPECT_NE(error.find("param.2 holds a line break"), std::string::npos) << error;
}

TEST(ConfigFile, SaveReplacesTheFileWholeForTheOwnerOnlyAndReadingIsBounded) {
  tessavirn_test::ScratchFolder folder;
  folder.Write("cam.conf", "old content that is longer than the new\n");
  const ino_t before = folder.Inode("cam.conf");
  std::string error;
  ASSERT_TRUE(WriteFileAtomically(folder.File("cam.conf"), "address=a\n", error)) << error;
  EXPECT_EQ(folder.Read("cam.conf"), "address=a\n");
  EXPECT_NE(folder.Inode("cam.conf"), before);
  EXPECT_EQ(folder.Names(), std::set<std::string>{"cam.conf"}) << "no temporary file left";
  struct stat status {};
  ASSERT_EQ(::stat(folder.File("cam.conf").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  EXPECT_FALSE(WriteFileAtomically(folder.File("no/such/dir.conf"), "x", error));

  std::string text;
  EXPECT_TRUE(ReadConfigFile(folder.File("cam.conf"), text, error)) << error;
  EXPECT_EQ(text, "address=a\n");
  folder.Write("big.conf", std::string(kConfigFileCap + 1, '#'));
  EXPECT_FALSE(ReadConfigFile(folder.File("big.conf"), text, error));
  EXPECT_NE(error.find("larger than 64 KiB"), std::string::npos) << error;
  EXPECT_FALSE(ReadConfigFile(folder.File("missing.conf"), text, error));
  EXPECT_NE(error.find("cannot read"), std::string::npos) << error;
}

}  // namespace
}  // namespace tessavirn_host
