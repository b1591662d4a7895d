#include "DxfDryRun.h"
#include "Stagedesk.h"

int main(int argc, char** argv) {
    // The dry run of a drawing needs neither a window nor a device.
    if (const auto status = stagedesk::dxf::HandleDxfPathOption(argc, argv)) return *status;
    return stagedesk::RunStagedesk(argc, argv);
}
