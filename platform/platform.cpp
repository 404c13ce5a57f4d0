#include "platform/os_api.h"

namespace w32 {

#if !defined(_WIN32)
// Only Windows has a real platform for this system; elsewhere the simulated
// world stands in for it.
std::unique_ptr<OsApi> MakeRealOsApi() { return nullptr; }
#endif

}  // namespace w32
