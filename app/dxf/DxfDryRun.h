#pragma once
// `stagedesk --dxf-path DRAWING.dxf`: loads, imports and orders the drawing
// without a window or a device and prints the automation calls a run would
// make, one per line, in order. Operators check a drawing with it before
// anything moves.
#include <iosfwd>
#include <optional>
#include <string>

namespace stagedesk::dxf {

// When the command line names --dxf-path (as "--dxf-path FILE" or
// "--dxf-path=FILE"), runs the dry run and returns the exit status;
// otherwise nullopt. Nothing else of the command line is looked at then.
std::optional<int> HandleDxfPathOption(int argc, char** argv);

// The calls for one drawing to `out`, notes and errors to `err`. Returns 0, or
// 1 when the drawing library or the drawing cannot be loaded.
int DryRun(const std::string& path, std::ostream& out, std::ostream& err);

}  // namespace stagedesk::dxf
