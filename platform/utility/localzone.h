#pragma once

namespace localzone {

// Without TZ the C library looks at the zone file again for every local time it
// converts: a stat per log line and per date, thousands for a full fiscal
// memory. Naming the same file it would use reads it once per process; a zone
// changed on the machine counts from the next start.
void readOnce();

} // namespace localzone
