// Run commands: a script handed to a running VM's simulated guest. Nothing runs on this
// machine; the guest logs the run (azsim/guest) and reports its output.
#pragma once

#include "azsim/arm/ArmCall.h"

namespace azsim {

// POST .../virtualMachines/{vm}/runCommand with a body of "commandId" ("RunShellScript" for a
// Linux VM, "RunPowerShellScript" for a Windows one), "script" (its lines) and "parameters"
// ({"name", "value"} pairs; "guestContext", "guestDetail" and "arguments" are logged as such).
// Accepted (202) once logged; its "Location" answers {"value": [StdOut status, StdErr status]}.
//
// A fault rule on "ExecuteScriptInGuestVM" is the guest reporting that the script failed: the
// run is logged as failed and its StdErr status carries the rule's text. The guest answers for a
// run, so the rule is taken here, once the VM has been found running and the run has started, and
// whichever client asked for the run sees the failure.
void RunCommand(ArmCall& call);

}  // namespace azsim
