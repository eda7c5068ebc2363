// The channel classes the driver chooses from the stream type and custom parameter 6.
#pragma once

#include "streaming/h264_channel_rtsp.h"
#include "streaming/mjpeg_channel_http.h"
#include "streaming/mjpeg_channel_rtsp.h"
#include "streaming/mpeg4_channel_rtsp.h"
