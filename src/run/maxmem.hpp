// The smallest memory limit (MiB) the panel's processes may be given.
#pragma once

namespace norvik::run {

// 4096 * (1 + number of user domains / 10000); the count is 1 when the
// domain list cannot be read.
long long minimum_maxmem();

}  // namespace norvik::run
