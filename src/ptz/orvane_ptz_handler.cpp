#include "ptz/orvane_ptz_handler.h"

namespace kalmora {

IIPPTZApiEx* COrvanePTZHandler::GetPTZApiEx(std::uint32_t) { return nullptr; }

}  // namespace kalmora
