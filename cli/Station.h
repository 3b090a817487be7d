#pragma once

#include <functional>
#include <string>
#include <vector>

#include "cli/RunRecord.h"

class Clock;
struct UnitIdentity;

// The station: unit after unit on each port, until stopped. Each port runs on its own, one child
// `flashtool flash FILE --port P --json` per unit, which first waits for the unit (after the one
// served before has gone away), then flashes it as the flash command does and writes its record.
// The first stop signal lets the units being flashed finish and takes no new one; a second stops
// them as a stopped flash stops. Shows one live line per port on a terminal (else plain lines
// prefixed with the port), passes on (with `json`) and logs each unit's record, and ends with a
// summary per port. Returns 0 when no unit failed, 1 when one did, 2 for a usage error, and
// 128 + the signal when a second stop signal stopped units in the middle of their run.
int RunStation(int argc, char** argv, const std::vector<std::string>& ports, bool json,
               const std::string& log, const RunRecord& base);

// The child's side: tells the Flash which identification is a unit to take (after the unit
// `previousId` served before has gone away, if one was), writing the child's state on stderr for
// the station; `onTaken` runs once the unit is taken.
std::function<bool(const UnitIdentity&)> StationUnitChooser(const std::string& previousId,
                                                            Clock& clock,
                                                            std::function<void()> onTaken);
