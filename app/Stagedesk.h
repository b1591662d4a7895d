#pragma once
// Program start: options, the embedded simulator, the frame.
namespace stagedesk {

// The whole program; returns the exit code.
int RunStagedesk(int argc, char** argv);

}  // namespace stagedesk
