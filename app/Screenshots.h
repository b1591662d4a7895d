#pragma once
// The screenshot run: against the embedded simulator, opens the device, moves
// an axis and writes a PNG of every tab (and of the two small dialogs) into a
// folder. Message boxes are recorded, not shown.
#include <QString>

namespace stagedesk {

class CMainFrame;

// 0 when every picture was written; otherwise a message on stderr and 1.
int TakeScreenshots(CMainFrame& frame, const QString& directory);

}  // namespace stagedesk
