#include "CadIOBinding.h"

#include "Trace.h"

namespace stagedesk::dxf {
namespace {

constexpr const char* kLibrary = "libcadio.so";

template <typename F>
bool Resolve(const korva::SharedLibrary& library, const char* name, F* out, std::string* missing) {
    *out = library.Function<F>(name);
    if (*out == nullptr) *missing += std::string(missing->empty() ? "" : ", ") + name;
    return *out != nullptr;
}

std::string TextOf(PFN_drwGetText f, HDRAWING drawing) {
    if (f == nullptr || drawing == 0) return {};
    const std::uint32_t n = f(drawing, nullptr, 0);
    std::string text(n + 1, '\0');
    f(drawing, text.data(), n + 1);
    text.resize(n);
    return text;
}

}  // namespace

CCadIO::CCadIO() {
    // $KORVA_CADIO alone when set, else ../lib beside the program, else the
    // loader's search path (korva::LibraryCandidates).
    std::string reasons;
    if (!korva::LoadFirstLibrary(korva::LibraryCandidates({"KORVA_CADIO", "", {kLibrary}}), {},
                                 RTLD_NOW | RTLD_LOCAL, &m_hLibrary, &reasons)) {
        m_strLoadError = "the drawing library could not be loaded:\n" + reasons;
        korva::Trace("stagedesk: %s", m_strLoadError.c_str());
        return;
    }
    m_strPath = m_hLibrary.Path();
    std::string missing;
    bool all = true;
    all &= Resolve(m_hLibrary, "drwCreate", &m_pCreate, &missing);
    all &= Resolve(m_hLibrary, "drwDestroy", &m_pDestroy, &missing);
    all &= Resolve(m_hLibrary, "drwAddTableType", &m_pAddTableType, &missing);
    all &= Resolve(m_hLibrary, "drwDeleteTableType", &m_pDeleteTableType, &missing);
    all &= Resolve(m_hLibrary, "drwFindTableType", &m_pFindTableType, &missing);
    all &= Resolve(m_hLibrary, "drwAddBlock", &m_pAddBlock, &missing);
    all &= Resolve(m_hLibrary, "drwDeleteBlock", &m_pDeleteBlock, &missing);
    all &= Resolve(m_hLibrary, "drwFindBlock", &m_pFindBlock, &missing);
    all &= Resolve(m_hLibrary, "drwAddEntity", &m_pAddEntity, &missing);
    all &= Resolve(m_hLibrary, "drwDeleteEntity", &m_pDeleteEntity, &missing);
    all &= Resolve(m_hLibrary, "drwChangeEntity", &m_pChangeEntity, &missing);
    all &= Resolve(m_hLibrary, "drwFindEntity", &m_pFindEntity, &missing);
    all &= Resolve(m_hLibrary, "drwSaveDataToFile", &m_pSaveDataToFile, &missing);
    all &= Resolve(m_hLibrary, "drwLoadDataFromFile", &m_pLoadDataFromFile, &missing);
    all &= Resolve(m_hLibrary, "drwInitView", &m_pInitView, &missing);
    all &= Resolve(m_hLibrary, "drwPaint", &m_pPaint, &missing);
    all &= Resolve(m_hLibrary, "drwGetViewProperties", &m_pGetViewProperties, &missing);
    all &= Resolve(m_hLibrary, "drwSetViewProperties", &m_pSetViewProperties, &missing);
    all &= Resolve(m_hLibrary, "drwGetDrawingBorder", &m_pGetDrawingBorder, &missing);
    all &= Resolve(m_hLibrary, "drwZoomExtents", &m_pZoomExtents, &missing);
    all &= Resolve(m_hLibrary, "drwSethwndMess", &m_pSethwndMess, &missing);
    all &= Resolve(m_hLibrary, "drwGetData", &m_pGetData, &missing);
    std::string optional;
    Resolve(m_hLibrary, "drwGetLastError", &m_pGetLastError, &optional);
    Resolve(m_hLibrary, "drwGetLoadNotes", &m_pGetLoadNotes, &optional);
    m_bLoaded = all;
    if (!all) {
        m_strLoadError = m_strPath + " lacks " + missing;
        korva::Trace("stagedesk: %s\n", m_strLoadError.c_str());
    }
}

CCadIO::~CCadIO() {
    Destroy();
}

bool CCadIO::Create() {
    if (!m_bLoaded) return false;
    Destroy();
    m_hDrawing = m_pCreate();
    return m_hDrawing != 0;
}

bool CCadIO::Destroy() {
    if (!m_bLoaded || m_hDrawing == 0) return false;
    const bool ok = m_pDestroy(m_hDrawing) != 0;
    m_hDrawing = 0;
    return ok;
}

bool CCadIO::SetWindow(const DrwReceiver* window, std::uint32_t message) {
    return m_bLoaded && m_hDrawing != 0 && m_pSethwndMess(m_hDrawing, window, message) != 0;
}

bool CCadIO::LoadFromFile(const std::string& path, const DrwReceiver* progress) {
    return m_bLoaded && m_hDrawing != 0 &&
           m_pLoadDataFromFile(m_hDrawing, 0, 0, path.c_str(), progress) != 0;
}

bool CCadIO::InitView(int x, int y, int width, int height) {
    return m_bLoaded && m_hDrawing != 0 && m_pInitView(m_hDrawing, x, y, width, height) != 0;
}

bool CCadIO::ZoomExtents() {
    return m_bLoaded && m_hDrawing != 0 && m_pZoomExtents(m_hDrawing) != 0;
}

bool CCadIO::Paint(void* painter) {
    return m_bLoaded && m_hDrawing != 0 && m_pPaint(m_hDrawing, painter) != 0;
}

bool CCadIO::GetViewProperties(DrwViewProperties* view) {
    return m_bLoaded && m_hDrawing != 0 && m_pGetViewProperties(m_hDrawing, view) != 0;
}

bool CCadIO::SetViewProperties(const DrwViewProperties& view) {
    return m_bLoaded && m_hDrawing != 0 && m_pSetViewProperties(m_hDrawing, &view) != 0;
}

bool CCadIO::GetDrawingBorder(DrwRect* border) {
    return m_bLoaded && m_hDrawing != 0 && m_pGetDrawingBorder(m_hDrawing, border) != 0;
}

bool CCadIO::GetData() {
    return m_bLoaded && m_hDrawing != 0 && m_pGetData(m_hDrawing) != 0;
}

std::string CCadIO::LastError() {
    return m_bLoaded ? TextOf(m_pGetLastError, m_hDrawing) : std::string();
}

std::string CCadIO::LoadNotes() {
    return m_bLoaded ? TextOf(m_pGetLoadNotes, m_hDrawing) : std::string();
}

}  // namespace stagedesk::dxf
