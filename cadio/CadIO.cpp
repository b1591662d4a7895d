// The C entry points: handle checks, then the drawing's own operations.
#include "CadIO.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "Drawing.h"
#include "DxfLoad.h"

namespace korva::cadio {

Drawing::Drawing() {
    view.zoomLevel = 1;
    view.pixelsPerUnit = 1;
    TableEntry layer0;
    layer0.handle = model.NextHandle();
    layer0.type = DRW_TABLE_LAYER;
    layer0.name = "0";
    model.tables.push_back(layer0);
}

void Drawing::ZoomExtents() {
    const Box box = model.Extents();
    view.zoomLevel = 1;
    if (box.empty) {
        view.centerX = view.centerY = 0;
        view.pixelsPerUnit = 1;
        return;
    }
    view.centerX = (box.minX + box.maxX) / 2;
    view.centerY = (box.minY + box.maxY) / 2;
    const double w = box.maxX - box.minX, h = box.maxY - box.minY;
    const double vw = std::max(1, view.viewWidth), vh = std::max(1, view.viewHeight);
    double ppu = 0;
    if (w > 0 && h > 0) {
        ppu = std::min(vw / w, vh / h);
    } else if (w > 0 || h > 0) {
        ppu = w > 0 ? vw / w : vh / h;
    }
    // A margin so that the outermost lines are not on the frame.
    view.pixelsPerUnit = (ppu > 0 && std::isfinite(ppu)) ? ppu * 0.95 : 1;
}

}  // namespace korva::cadio

using korva::cadio::Block;
using korva::cadio::Drawing;
using korva::cadio::Entity;
using korva::cadio::TableEntry;

namespace {

std::mutex g_lock;
std::map<HDRAWING, std::unique_ptr<Drawing>>& Drawings() {
    static std::map<HDRAWING, std::unique_ptr<Drawing>> drawings;
    return drawings;
}
HDRAWING g_nextHandle = 0x10000;

Drawing* Find(HDRAWING h) {
    std::lock_guard<std::mutex> hold(g_lock);
    auto it = Drawings().find(h);
    return it == Drawings().end() ? nullptr : it->second.get();
}

// A drawing the caller may change: not while its records are being delivered.
Drawing* FindForChange(HDRAWING h) {
    Drawing* d = Find(h);
    return (d != nullptr && d->delivering == 0) ? d : nullptr;
}

std::string Upper(const char* s, std::size_t n) {
    std::string u(s, n);
    for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return u;
}

// A name from a fixed field: terminated within it and not empty.
bool NameOf(const char* field, std::string* name) {
    const std::size_t n = strnlen(field, 256);
    if (n == 0 || n == 256) return false;
    name->assign(field, n);
    return true;
}

void CopyName(const std::string& name, char* field) {
    const std::size_t n = std::min<std::size_t>(name.size(), 255);
    std::memcpy(field, name.data(), n);
    field[n] = '\0';
}

bool SameName(const std::string& a, const std::string& b) {
    return Upper(a.data(), a.size()) == Upper(b.data(), b.size());
}

template <typename T>
typename std::vector<T>::iterator ByHandle(std::vector<T>& list, OBJHANDLE handle) {
    auto it = std::lower_bound(list.begin(), list.end(), handle,
                               [](const T& item, OBJHANDLE h) { return item.rec.handle < h; });
    return (it != list.end() && it->rec.handle == handle) ? it : list.end();
}

std::vector<Entity>* EntitiesOf(Drawing* d, OBJHANDLE block) {
    if (block == 0) return &d->model.entities;
    for (Block& b : d->model.blocks)
        if (b.handle == block) return &b.entities;
    return nullptr;
}

void FillRecord(Entity& e, DrwEntityRecord* out) {
    *out = e.rec;
    out->vertices = e.vertices.empty() ? nullptr : e.vertices.data();
    out->vertexCount = static_cast<int32_t>(e.vertices.size());
}

bool SetGeometry(Entity* e, const DrwEntityRecord& rec) {
    std::string why;
    if (!korva::cadio::ValidRecord(rec, &why)) return false;
    const OBJHANDLE handle = e->rec.handle;
    e->rec = rec;
    e->rec.handle = handle;
    e->rec.vertices = nullptr;
    e->vertices.clear();
    if (rec.kind == DRW_ENT_POLYLINE) {
        e->vertices.assign(rec.vertices, rec.vertices + rec.vertexCount);
        e->rec.vertexCount = rec.vertexCount;
    } else {
        e->rec.vertexCount = 0;
    }
    return true;
}

uint32_t CopyText(const std::string& text, char* out, uint32_t size) {
    if (out != nullptr && size > 0) {
        const std::size_t n = std::min<std::size_t>(text.size(), size - 1);
        std::memcpy(out, text.data(), n);
        out[n] = '\0';
    }
    return static_cast<uint32_t>(text.size());
}

korva::cadio::Progress ProgressTo(const DrwReceiver* receiver) {
    if (receiver == nullptr || receiver->message == nullptr) return {};
    const DrwReceiver r = *receiver;
    return [r](int percent) { r.message(r.context, DRW_MSG_PROGRESS, percent, 0); };
}

}  // namespace

extern "C" {

HDRAWING drwCreate(void) {
    std::unique_ptr<Drawing> d(new (std::nothrow) Drawing);
    if (!d) return 0;
    std::lock_guard<std::mutex> hold(g_lock);
    const HDRAWING h = g_nextHandle++;
    Drawings().emplace(h, std::move(d));
    return h;
}

DRWBOOL drwDestroy(HDRAWING drawing) {
    std::unique_ptr<Drawing> gone;
    std::lock_guard<std::mutex> hold(g_lock);
    auto it = Drawings().find(drawing);
    if (it == Drawings().end() || it->second->delivering != 0) return 0;
    gone = std::move(it->second);
    Drawings().erase(it);
    return 1;
}

OBJHANDLE drwAddTableType(HDRAWING drawing, const DrwTableRecord* record) {
    Drawing* d = FindForChange(drawing);
    std::string name;
    if (d == nullptr || record == nullptr || record->tableType < DRW_TABLE_LAYER ||
        record->tableType > DRW_TABLE_STYLE || !NameOf(record->name, &name))
        return 0;
    for (const TableEntry& t : d->model.tables)
        if (t.type == record->tableType && SameName(t.name, name)) return 0;
    TableEntry t;
    t.handle = d->model.NextHandle();
    t.type = record->tableType;
    t.name = name;
    t.color = record->color;
    t.flags = record->flags;
    d->model.tables.push_back(t);
    return t.handle;
}

DRWBOOL drwDeleteTableType(HDRAWING drawing, uint32_t tableType, OBJHANDLE handle) {
    Drawing* d = FindForChange(drawing);
    if (d == nullptr) return 0;
    auto& tables = d->model.tables;
    auto it = std::find_if(tables.begin(), tables.end(), [&](const TableEntry& t) {
        return t.type == tableType && t.handle == handle;
    });
    // Layer 0 always exists.
    if (it == tables.end() || (it->type == DRW_TABLE_LAYER && it->name == "0")) return 0;
    tables.erase(it);
    return 1;
}

OBJHANDLE drwFindTableType(HDRAWING drawing, uint32_t tableType, uint32_t find,
                           DrwTableRecord* record) {
    Drawing* d = Find(drawing);
    if (d == nullptr || record == nullptr) return 0;
    std::string name;
    if (find == DRW_FIND_NAME && !NameOf(record->name, &name)) return 0;
    bool after = false;
    for (const TableEntry& t : d->model.tables) {
        if (t.type != tableType) continue;
        bool hit = false;
        switch (find) {
            case DRW_FIND_FIRST:
                hit = true;
                break;
            case DRW_FIND_NEXT:
                hit = after;
                if (t.handle == record->handle) after = true;
                break;
            case DRW_FIND_HANDLE:
                hit = t.handle == record->handle;
                break;
            case DRW_FIND_NAME:
                hit = SameName(t.name, name);
                break;
            default:
                return 0;
        }
        if (hit) {
            record->handle = t.handle;
            record->tableType = t.type;
            CopyName(t.name, record->name);
            record->color = t.color;
            record->flags = t.flags;
            return t.handle;
        }
    }
    return 0;
}

OBJHANDLE drwAddBlock(HDRAWING drawing, const DrwBlockHeader* header) {
    Drawing* d = FindForChange(drawing);
    std::string name;
    if (d == nullptr || header == nullptr || !NameOf(header->name, &name) ||
        !std::isfinite(header->baseX) || !std::isfinite(header->baseY))
        return 0;
    for (const Block& b : d->model.blocks)
        if (SameName(b.name, name)) return 0;
    Block b;
    b.handle = d->model.NextHandle();
    b.name = name;
    b.flags = header->flags;
    b.baseX = header->baseX;
    b.baseY = header->baseY;
    d->model.blocks.push_back(std::move(b));
    return d->model.blocks.back().handle;
}

DRWBOOL drwDeleteBlock(HDRAWING drawing, OBJHANDLE block) {
    Drawing* d = FindForChange(drawing);
    if (d == nullptr) return 0;
    auto& blocks = d->model.blocks;
    auto it = std::find_if(blocks.begin(), blocks.end(),
                           [&](const Block& b) { return b.handle == block; });
    if (it == blocks.end()) return 0;
    blocks.erase(it);
    return 1;
}

OBJHANDLE drwFindBlock(HDRAWING drawing, uint32_t find, DrwBlockHeader* header) {
    Drawing* d = Find(drawing);
    if (d == nullptr || header == nullptr) return 0;
    std::string name;
    if (find == DRW_FIND_NAME && !NameOf(header->name, &name)) return 0;
    bool after = false;
    for (const Block& b : d->model.blocks) {
        bool hit = false;
        switch (find) {
            case DRW_FIND_FIRST:
                hit = true;
                break;
            case DRW_FIND_NEXT:
                hit = after;
                if (b.handle == header->handle) after = true;
                break;
            case DRW_FIND_HANDLE:
                hit = b.handle == header->handle;
                break;
            case DRW_FIND_NAME:
                hit = SameName(b.name, name);
                break;
            default:
                return 0;
        }
        if (hit) {
            header->handle = b.handle;
            header->flags = b.flags;
            CopyName(b.name, header->name);
            header->baseX = b.baseX;
            header->baseY = b.baseY;
            return b.handle;
        }
    }
    return 0;
}

OBJHANDLE drwAddEntity(HDRAWING drawing, OBJHANDLE block, const DrwEntityRecord* record) {
    Drawing* d = FindForChange(drawing);
    if (d == nullptr || record == nullptr) return 0;
    std::vector<Entity>* list = EntitiesOf(d, block);
    if (list == nullptr) return 0;
    Entity e;
    if (!SetGeometry(&e, *record)) return 0;
    e.rec.handle = d->model.NextHandle();
    list->push_back(std::move(e));
    return list->back().rec.handle;
}

DRWBOOL drwDeleteEntity(HDRAWING drawing, OBJHANDLE block, OBJHANDLE entity) {
    Drawing* d = FindForChange(drawing);
    if (d == nullptr) return 0;
    std::vector<Entity>* list = EntitiesOf(d, block);
    if (list == nullptr) return 0;
    auto it = ByHandle(*list, entity);
    if (it == list->end()) return 0;
    list->erase(it);
    return 1;
}

DRWBOOL drwChangeEntity(HDRAWING drawing, OBJHANDLE block, const DrwEntityRecord* record) {
    Drawing* d = FindForChange(drawing);
    if (d == nullptr || record == nullptr) return 0;
    std::vector<Entity>* list = EntitiesOf(d, block);
    if (list == nullptr) return 0;
    auto it = ByHandle(*list, record->handle);
    if (it == list->end() || it->rec.kind != record->kind) return 0;
    return SetGeometry(&*it, *record) ? 1 : 0;
}

OBJHANDLE drwFindEntity(HDRAWING drawing, OBJHANDLE block, uint32_t find, DrwEntityRecord* record) {
    Drawing* d = Find(drawing);
    if (d == nullptr || record == nullptr) return 0;
    std::vector<Entity>* list = EntitiesOf(d, block);
    if (list == nullptr || list->empty()) return 0;
    std::vector<Entity>::iterator it;
    switch (find) {
        case DRW_FIND_FIRST:
            it = list->begin();
            break;
        case DRW_FIND_NEXT:
            it = std::upper_bound(list->begin(), list->end(), record->handle,
                                  [](OBJHANDLE h, const Entity& e) { return h < e.rec.handle; });
            break;
        case DRW_FIND_HANDLE:
            it = ByHandle(*list, record->handle);
            break;
        default:
            return 0;
    }
    if (it == list->end()) return 0;
    FillRecord(*it, record);
    return it->rec.handle;
}

DRWBOOL drwSaveDataToFile(HDRAWING drawing, OBJHANDLE reserved, const char* path,
                          const DrwReceiver* progress) {
    Drawing* d = Find(drawing);
    if (d == nullptr) return 0;
    if (reserved != 0 || path == nullptr || path[0] == '\0') {
        d->lastError = "no file name";
        return 0;
    }
    d->lastError.clear();
    return korva::cadio::SaveDxfFile(d->model, path, &d->lastError, ProgressTo(progress)) ? 1 : 0;
}

DRWBOOL drwLoadDataFromFile(HDRAWING drawing, OBJHANDLE reserved1, uint32_t reserved2,
                            const char* path, const DrwReceiver* progress) {
    Drawing* d = FindForChange(drawing);
    if (d == nullptr) return 0;
    if (reserved1 != 0 || reserved2 != 0 || path == nullptr || path[0] == '\0') {
        d->lastError = "no file name";
        return 0;
    }
    korva::cadio::Model model;
    std::string error;
    bool ok = false;
    try {
        ok = korva::cadio::LoadDxfFile(path, &model, &error, ProgressTo(progress));
    } catch (const std::bad_alloc&) {
        error = "not enough memory for the drawing";
    }
    if (!ok) {
        d->lastError = error;
        return 0;
    }
    d->lastError.clear();
    d->model = std::move(model);
    return 1;
}

DRWBOOL drwInitView(HDRAWING drawing, int32_t x, int32_t y, int32_t width, int32_t height) {
    Drawing* d = Find(drawing);
    if (d == nullptr || width < 0 || height < 0) return 0;
    d->view.viewLeft = x;
    d->view.viewTop = y;
    d->view.viewWidth = width;
    d->view.viewHeight = height;
    return 1;
}

DRWBOOL drwPaint(HDRAWING drawing, void* device) {
    Drawing* d = Find(drawing);
    if (d == nullptr || device == nullptr) return 0;
    return korva::cadio::PaintDrawing(*d, device) ? 1 : 0;
}

DRWBOOL drwGetViewProperties(HDRAWING drawing, DrwViewProperties* view) {
    Drawing* d = Find(drawing);
    if (d == nullptr || view == nullptr) return 0;
    *view = d->view;
    return 1;
}

DRWBOOL drwSetViewProperties(HDRAWING drawing, const DrwViewProperties* view) {
    Drawing* d = Find(drawing);
    if (d == nullptr || view == nullptr) return 0;
    const double scale = view->zoomLevel * view->pixelsPerUnit;
    if (!std::isfinite(view->centerX) || !std::isfinite(view->centerY) || !(view->zoomLevel > 0) ||
        !(view->pixelsPerUnit > 0) || !std::isfinite(scale) || view->viewWidth < 0 ||
        view->viewHeight < 0)
        return 0;
    d->view = *view;
    return 1;
}

DRWBOOL drwGetDrawingBorder(HDRAWING drawing, DrwRect* border) {
    Drawing* d = Find(drawing);
    if (d == nullptr || border == nullptr) return 0;
    const korva::cadio::Box box = d->model.Extents();
    if (box.empty) return 0;
    border->left = box.minX;
    border->bottom = box.minY;
    border->right = box.maxX;
    border->top = box.maxY;
    return 1;
}

DRWBOOL drwZoomExtents(HDRAWING drawing) {
    Drawing* d = Find(drawing);
    if (d == nullptr) return 0;
    d->ZoomExtents();
    return 1;
}

DRWBOOL drwSethwndMess(HDRAWING drawing, const DrwReceiver* window, uint32_t message) {
    Drawing* d = Find(drawing);
    if (d == nullptr) return 0;
    if (window == nullptr) {
        d->window.reset();
        return 1;
    }
    if (window->copyData == nullptr) return 0;
    d->window = *window;
    d->message = message;
    return 1;
}

DRWBOOL drwGetData(HDRAWING drawing) {
    Drawing* d = Find(drawing);
    if (d == nullptr || !d->window) return 0;
    const DrwReceiver window = *d->window;
    const uint32_t message = d->message;
    ++d->delivering;
    for (Entity& e : d->model.entities) {
        DrwEntityRecord rec;
        FillRecord(e, &rec);
        window.copyData(window.context, message, &rec, sizeof rec);
    }
    --d->delivering;
    return 1;
}

uint32_t drwGetLastError(HDRAWING drawing, char* text, uint32_t size) {
    Drawing* d = Find(drawing);
    return d == nullptr ? 0 : CopyText(d->lastError, text, size);
}

uint32_t drwGetLoadNotes(HDRAWING drawing, char* text, uint32_t size) {
    Drawing* d = Find(drawing);
    return d == nullptr ? 0 : CopyText(d->model.notes, text, size);
}

}  // extern "C"
