// How the port map learns which virtual ports exist. Not for use outside platform/.
#pragma once

#include <string_view>

namespace qv::platform {

// Installed by the null-modem pairs when they are part of the program: whether a live pair
// serves the named end now. Without it no virtual port exists.
void SetVirtualPortQuery(bool (*exists)(std::string_view name));

}  // namespace qv::platform
