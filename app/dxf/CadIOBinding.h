#pragma once
// The drawing library libcadio.so, loaded by name with its 22 entry points,
// and the one drawing a panel works on. Without the library, or with an entry
// point missing, every drawing operation does nothing and returns false.
//
// Where the library is looked for: the path in KORVA_CADIO when it is set
// (only there); else ../lib/libcadio.so beside the program; else the dynamic
// loader's search for libcadio.so.
#include <string>

#include "CadIO.h"
#include "SharedLibrary.h"

namespace stagedesk::dxf {

class CCadIO {
  public:
    CCadIO();
    // Destroys a drawing that still exists, then unloads the library.
    ~CCadIO();
    CCadIO(const CCadIO&) = delete;
    CCadIO& operator=(const CCadIO&) = delete;

    bool IsLoaded() const { return m_bLoaded; }
    // Why the library is not loaded (empty when it is).
    const std::string& LoadError() const { return m_strLoadError; }
    const std::string& Path() const { return m_strPath; }

    // The drawing: Create replaces one that exists.
    bool Create();
    bool Destroy();
    bool HasDrawing() const { return m_hDrawing != 0; }

    bool SetWindow(const DrwReceiver* window, std::uint32_t message);
    bool LoadFromFile(const std::string& path, const DrwReceiver* progress);
    bool InitView(int x, int y, int width, int height);
    bool ZoomExtents();
    bool Paint(void* painter);
    bool GetViewProperties(DrwViewProperties* view);
    bool SetViewProperties(const DrwViewProperties& view);
    bool GetDrawingBorder(DrwRect* border);
    bool GetData();
    // Why the last load failed, and what it left out (empty when the library
    // does not say).
    std::string LastError();
    std::string LoadNotes();

  private:
    korva::SharedLibrary m_hLibrary;  // closed after the destructor's Destroy()
    bool m_bLoaded = false;
    std::string m_strLoadError;
    std::string m_strPath;
    HDRAWING m_hDrawing = 0;

    PFN_drwCreate m_pCreate = nullptr;
    PFN_drwDestroy m_pDestroy = nullptr;
    PFN_drwAddTableType m_pAddTableType = nullptr;
    PFN_drwDeleteTableType m_pDeleteTableType = nullptr;
    PFN_drwFindTableType m_pFindTableType = nullptr;
    PFN_drwAddBlock m_pAddBlock = nullptr;
    PFN_drwDeleteBlock m_pDeleteBlock = nullptr;
    PFN_drwFindBlock m_pFindBlock = nullptr;
    PFN_drwAddEntity m_pAddEntity = nullptr;
    PFN_drwDeleteEntity m_pDeleteEntity = nullptr;
    PFN_drwChangeEntity m_pChangeEntity = nullptr;
    PFN_drwFindEntity m_pFindEntity = nullptr;
    PFN_drwSaveDataToFile m_pSaveDataToFile = nullptr;
    PFN_drwLoadDataFromFile m_pLoadDataFromFile = nullptr;
    PFN_drwInitView m_pInitView = nullptr;
    PFN_drwPaint m_pPaint = nullptr;
    PFN_drwGetViewProperties m_pGetViewProperties = nullptr;
    PFN_drwSetViewProperties m_pSetViewProperties = nullptr;
    PFN_drwGetDrawingBorder m_pGetDrawingBorder = nullptr;
    PFN_drwZoomExtents m_pZoomExtents = nullptr;
    PFN_drwSethwndMess m_pSethwndMess = nullptr;
    PFN_drwGetData m_pGetData = nullptr;
    // Optional: the library's own words on a failed load.
    PFN_drwGetText m_pGetLastError = nullptr;
    PFN_drwGetText m_pGetLoadNotes = nullptr;
};

}  // namespace stagedesk::dxf
