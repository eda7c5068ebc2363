// Pan/tilt/zoom: the driver's PTZ object and one control object per PTZ channel.
#pragma once

#include <cstdint>

// The host's PTZ capability record: 32-bit words counted from 0. The driver writes words 1 to 13;
// word 7 is the preset maximum and word 8 the preset count.
struct PTZCapabilityRecord {
  static constexpr int kWordCount = 14;
  std::uint32_t words[kWordCount] = {};
};

// Per-channel index and manual focus and iris states of a PTZ control object.
class IIPParams {
 public:
  virtual ~IIPParams() = default;
  virtual std::uint32_t GetChannel() = 0;
  virtual bool GetManualIrisState() = 0;
  virtual void SetManualIrisState(bool manual) = 0;
  virtual bool GetManualFocusState() = 0;
  virtual void SetManualFocusState(bool manual) = 0;
};

namespace kalmora {

// Status values: 1 done; -1, -3, -18, -23, -26 failures (see the driver's documentation).
class IIPPTZApi {
 public:
  virtual ~IIPPTZApi() = default;
  virtual int IsPTZEnabled() = 0;
  virtual int StartMove(int direction, int speed) = 0;
  virtual int Stop() = 0;
  virtual int Center(int a, int b, int c) = 0;
  virtual int StartZoomPlus(int speed) = 0;
  virtual int StartZoomMinus(int speed) = 0;
  virtual int Unzoom(int a) = 0;
  virtual int AreaZoom(int a, int b, int c, int d) = 0;
  virtual int StartFocusMinus(int speed) = 0;
  virtual int StartFocusPlus(int speed) = 0;
  virtual int StartIrisPlus(int speed) = 0;
  virtual int StartIrisMinus(int speed) = 0;
  virtual int GetCapabilities(PTZCapabilityRecord* record) = 0;
  virtual int GetPresetCount() = 0;
  virtual int GetPresetName(int position, char* buffer, unsigned size) = 0;
  virtual int GoToPreset(int extra, const char* name) = 0;
  virtual int AddPreset(const char* name) = 0;
  virtual int DeletePreset(const char* name) = 0;
  virtual int GetCurrentPresetName(char* buffer, unsigned size) = 0;
};

class IIPPTZApiEx : public IIPPTZApi {
 public:
  virtual std::uint32_t EchoParameter(std::uint32_t value) = 0;
};

class IIPPTZDriver {
 public:
  virtual ~IIPPTZDriver() = default;
  // The control object of a PTZ channel (0-based), or null.
  virtual IIPPTZApi* GetPTZApi(std::uint32_t channel) = 0;
};

class IIPPTZDriverEx : public IIPPTZDriver {
 public:
  IIPPTZApi* GetPTZApi(std::uint32_t channel) override { return GetPTZApiEx(channel); }
  virtual IIPPTZApiEx* GetPTZApiEx(std::uint32_t channel) = 0;
};

}  // namespace kalmora
