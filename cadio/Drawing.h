#pragma once
// One drawing behind a handle: its model, its view, the window that receives
// its records, and the reason the last load or save failed.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "Model.h"

namespace korva::cadio {

struct Drawing {
    Model model;
    DrwViewProperties view{};
    std::optional<DrwReceiver> window;
    std::uint32_t message = 0;
    std::string lastError;
    // Set while records are being delivered: a receiver that calls back into
    // the library may read the drawing but not change or destroy it.
    int delivering = 0;

    Drawing();
    void ZoomExtents();
    // Scale in pixels per drawing unit.
    double Scale() const { return view.zoomLevel * view.pixelsPerUnit; }
};

// Paints the drawing onto a QPainter* over the view area.
bool PaintDrawing(const Drawing& drawing, void* painter);

// Writes the model as an R12 DXF file; the file is replaced only when it is
// complete.
bool SaveDxfFile(const Model& model, const std::string& path, std::string* error,
                 const std::function<void(int)>& progress);

}  // namespace korva::cadio
