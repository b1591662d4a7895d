#pragma once
// `stagedesk --dxf-path DRAWING.dxf`: loads, imports and orders the drawing
// without a window or a device and prints the automation calls a run would
// make, one per line, in order. Operators check a drawing with it before
// anything moves.
#include <iosfwd>
#include <optional>
#include <string>

#include "DxfJob.h"

namespace stagedesk::dxf {

// When the command line names --dxf-path (as "--dxf-path FILE" or
// "--dxf-path=FILE"), runs the dry run and returns the exit status;
// otherwise nullopt. The job options below are read with it (each as
// "--opt VALUE" or "--opt=VALUE"); a bad value ends with status 2:
//   --scale S  --offset X,Y  --draw-speed F  --travel-speed F
//   --tool-bit N  --tool-delays ON_MS,OFF_MS  --arc-ccw 0|1
std::optional<int> HandleDxfPathOption(int argc, char** argv);

// The job options of a command line (other arguments are left alone).
// False with the reason for a bad or missing value.
bool ParseJobOptions(int argc, char** argv, JobOptions* options, std::string* error);

// The steps of a run for one drawing to `out` (FormatStep, one per line),
// notes and errors to `err`. Returns 0, or 1 when the drawing library or the
// drawing cannot be loaded or the options cannot place it.
int DryRun(const std::string& path, std::ostream& out, std::ostream& err,
           const JobOptions& options = {});

}  // namespace stagedesk::dxf
