// Everything a host needs to load and drive the Tessavirn capture driver.
#pragma once

#include "host/capability_query.h"
#include "host/capture_driver.h"
#include "host/debug.h"
#include "host/device_settings.h"
#include "host/frame.h"
#include "host/io.h"
#include "host/ptz.h"
#include "host/types.h"
#include "host/video_capture.h"
