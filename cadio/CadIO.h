#pragma once
// The drawing library libcadio.so: its 22 drw* entry points (C linkage), the
// records they exchange and the types of the function pointers a host looks up
// with dlsym. Hosts include this header and load the library by name; they do
// not link it.
//
// A drawing handle belongs to one thread at a time (the host's GUI thread).
// The library checks every handle it is given, so a stale or made-up handle
// makes a call fail instead of touching freed memory.
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t DRWBOOL;     // nonzero on success
typedef uintptr_t HDRAWING;  // 0: no drawing
typedef uint32_t OBJHANDLE;  // 0: no object; handles are unique within one drawing

// A window as the library sees it: window messages and the data-copy message
// arrive through these callbacks, on the thread that made the call.
typedef struct DrwReceiver {
    void* context;
    // A window message: its number and two parameters.
    void (*message)(void* context, uint32_t message, intptr_t wParam, intptr_t lParam);
    // The data-copy message: data is valid only during the call.
    void (*copyData)(void* context, uint32_t message, const void* data, size_t size);
} DrwReceiver;

// Loading progress: message DRW_MSG_PROGRESS with the percentage (0..100) in
// wParam, sent only when the percentage changes.
enum { DRW_MSG_PROGRESS = 1025 };

// Entity kinds in the first word of a record.
enum {
    DRW_ENT_LINE = 1,
    DRW_ENT_POINT = 2,
    DRW_ENT_CIRCLE = 3,
    DRW_ENT_TEXT = 7,
    DRW_ENT_ARC = 8,
    DRW_ENT_POLYLINE = 19,
};

// Polyline flags (the record's further word).
enum { DRW_POLYLINE_CLOSED = 1 };

// One polyline vertex: 64 bytes. The bulge is the tangent of a quarter of the
// included angle of the arc from this vertex to the next (0 straight,
// positive counter-clockwise).
typedef struct DrwVertex {
    double x;
    double y;
    double bulge;
    double z;
    double startWidth;
    double endWidth;
    double reserved[2];
} DrwVertex;

// One entity: 152 bytes. Each kind uses its own fields; the others are 0.
//   line      (x1, y1, z1) to (x2, y2, z2)
//   point     (x1, y1, z1)
//   text      insertion point (x1, y1, z1), height in x2, rotation in
//             degrees in y2 (the text itself stays in the library, for painting)
//   circle    centre (circleX, circleY, circleZ), circleRadius
//   arc       centre (arcX, arcY, arcZ), arcRadius, counter-clockwise from
//             arcStartAngle to arcEndAngle (degrees)
//   polyline  vertices, vertexCount, flags (DRW_POLYLINE_CLOSED)
// Angles and coordinates are in the drawing's XY plane: arcs drawn with a
// mirrored extrusion and block inserts have already been carried into it.
typedef struct DrwEntityRecord {
    int32_t kind;
    OBJHANDLE handle;
    double x1, y1, z1;
    double x2, y2, z2;
    double circleX, circleY, circleZ;
    double circleRadius;
    double arcX, arcY, arcZ;
    double arcRadius;
    double arcStartAngle, arcEndAngle;
    // From the library: valid until the entity changes or the drawing goes.
    DrwVertex* vertices;
    int32_t vertexCount;
    int32_t flags;
} DrwEntityRecord;

// The view: the drawing point shown at the centre of the view area, and the
// scale as the product of its two fields (pixels per drawing unit).
typedef struct DrwViewProperties {
    double centerX;
    double centerY;
    double zoomLevel;                                  // 1 after drwZoomExtents
    double pixelsPerUnit;                              // at zoom level 1
    int32_t viewLeft, viewTop, viewWidth, viewHeight;  // device pixels (drwInitView)
    double reserved[4];
} DrwViewProperties;

typedef struct DrwRect {
    double left, bottom, right, top;
} DrwRect;

// Named table entries: layers, line types, text styles.
enum { DRW_TABLE_LAYER = 1, DRW_TABLE_LINETYPE = 2, DRW_TABLE_STYLE = 3 };

typedef struct DrwTableRecord {
    OBJHANDLE handle;
    uint32_t tableType;
    char name[256];
    int32_t color;  // colour number 1..255 (layers); negative: layer switched off
    uint32_t flags;
} DrwTableRecord;

typedef struct DrwBlockHeader {
    OBJHANDLE handle;
    uint32_t flags;
    char name[256];
    double baseX, baseY;
} DrwBlockHeader;

// How the find calls search: the first object, the one after the handle given
// in the record, the one with the given handle, or (tables and blocks) the one
// with the given name (case-insensitive).
enum { DRW_FIND_FIRST = 0, DRW_FIND_NEXT = 1, DRW_FIND_HANDLE = 2, DRW_FIND_NAME = 3 };

#if defined(__GNUC__)
#define DRW_API __attribute__((visibility("default")))
#else
#define DRW_API
#endif

DRW_API HDRAWING drwCreate(void);
DRW_API DRWBOOL drwDestroy(HDRAWING drawing);

DRW_API OBJHANDLE drwAddTableType(HDRAWING drawing, const DrwTableRecord* record);
DRW_API DRWBOOL drwDeleteTableType(HDRAWING drawing, uint32_t tableType, OBJHANDLE handle);
DRW_API OBJHANDLE drwFindTableType(HDRAWING drawing, uint32_t tableType, uint32_t find,
                                   DrwTableRecord* record);

DRW_API OBJHANDLE drwAddBlock(HDRAWING drawing, const DrwBlockHeader* header);
DRW_API DRWBOOL drwDeleteBlock(HDRAWING drawing, OBJHANDLE block);
DRW_API OBJHANDLE drwFindBlock(HDRAWING drawing, uint32_t find, DrwBlockHeader* header);

// block 0 is the drawing itself (model space).
DRW_API OBJHANDLE drwAddEntity(HDRAWING drawing, OBJHANDLE block, const DrwEntityRecord* record);
DRW_API DRWBOOL drwDeleteEntity(HDRAWING drawing, OBJHANDLE block, OBJHANDLE entity);
// The record's handle names the entity to change; its kind stays.
DRW_API DRWBOOL drwChangeEntity(HDRAWING drawing, OBJHANDLE block, const DrwEntityRecord* record);
DRW_API OBJHANDLE drwFindEntity(HDRAWING drawing, OBJHANDLE block, uint32_t find,
                                DrwEntityRecord* record);

// Writes an R12 DXF file (replacing the file only once it is complete).
DRW_API DRWBOOL drwSaveDataToFile(HDRAWING drawing, OBJHANDLE reserved, const char* path,
                                  const DrwReceiver* progress);
// Reads a DXF file into the drawing (reserved values 0). A missing,
// unreadable or malformed file fails and leaves the drawing as it was.
DRW_API DRWBOOL drwLoadDataFromFile(HDRAWING drawing, OBJHANDLE reserved1, uint32_t reserved2,
                                    const char* path, const DrwReceiver* progress);

DRW_API DRWBOOL drwInitView(HDRAWING drawing, int32_t x, int32_t y, int32_t width, int32_t height);
// device: a QPainter* on the view area.
DRW_API DRWBOOL drwPaint(HDRAWING drawing, void* device);
DRW_API DRWBOOL drwGetViewProperties(HDRAWING drawing, DrwViewProperties* view);
DRW_API DRWBOOL drwSetViewProperties(HDRAWING drawing, const DrwViewProperties* view);
DRW_API DRWBOOL drwGetDrawingBorder(HDRAWING drawing, DrwRect* border);
DRW_API DRWBOOL drwZoomExtents(HDRAWING drawing);
// Registers the window that drwGetData delivers the records to (copied).
DRW_API DRWBOOL drwSethwndMess(HDRAWING drawing, const DrwReceiver* window, uint32_t message);
// Sends one data-copy message per model-space entity, each a 152-byte record,
// to the registered window before it returns.
DRW_API DRWBOOL drwGetData(HDRAWING drawing);

// Beyond the 22: why the last load or save failed, and what the last load
// left out (kinds the library does not keep, paper space). The text is cut
// to size - 1 bytes and always terminated; returns the full length.
DRW_API uint32_t drwGetLastError(HDRAWING drawing, char* text, uint32_t size);
DRW_API uint32_t drwGetLoadNotes(HDRAWING drawing, char* text, uint32_t size);

typedef HDRAWING (*PFN_drwCreate)(void);
typedef DRWBOOL (*PFN_drwDestroy)(HDRAWING);
typedef OBJHANDLE (*PFN_drwAddTableType)(HDRAWING, const DrwTableRecord*);
typedef DRWBOOL (*PFN_drwDeleteTableType)(HDRAWING, uint32_t, OBJHANDLE);
typedef OBJHANDLE (*PFN_drwFindTableType)(HDRAWING, uint32_t, uint32_t, DrwTableRecord*);
typedef OBJHANDLE (*PFN_drwAddBlock)(HDRAWING, const DrwBlockHeader*);
typedef DRWBOOL (*PFN_drwDeleteBlock)(HDRAWING, OBJHANDLE);
typedef OBJHANDLE (*PFN_drwFindBlock)(HDRAWING, uint32_t, DrwBlockHeader*);
typedef OBJHANDLE (*PFN_drwAddEntity)(HDRAWING, OBJHANDLE, const DrwEntityRecord*);
typedef DRWBOOL (*PFN_drwDeleteEntity)(HDRAWING, OBJHANDLE, OBJHANDLE);
typedef DRWBOOL (*PFN_drwChangeEntity)(HDRAWING, OBJHANDLE, const DrwEntityRecord*);
typedef OBJHANDLE (*PFN_drwFindEntity)(HDRAWING, OBJHANDLE, uint32_t, DrwEntityRecord*);
typedef DRWBOOL (*PFN_drwSaveDataToFile)(HDRAWING, OBJHANDLE, const char*, const DrwReceiver*);
typedef DRWBOOL (*PFN_drwLoadDataFromFile)(HDRAWING, OBJHANDLE, uint32_t, const char*,
                                           const DrwReceiver*);
typedef DRWBOOL (*PFN_drwInitView)(HDRAWING, int32_t, int32_t, int32_t, int32_t);
typedef DRWBOOL (*PFN_drwPaint)(HDRAWING, void*);
typedef DRWBOOL (*PFN_drwGetViewProperties)(HDRAWING, DrwViewProperties*);
typedef DRWBOOL (*PFN_drwSetViewProperties)(HDRAWING, const DrwViewProperties*);
typedef DRWBOOL (*PFN_drwGetDrawingBorder)(HDRAWING, DrwRect*);
typedef DRWBOOL (*PFN_drwZoomExtents)(HDRAWING);
typedef DRWBOOL (*PFN_drwSethwndMess)(HDRAWING, const DrwReceiver*, uint32_t);
typedef DRWBOOL (*PFN_drwGetData)(HDRAWING);
typedef uint32_t (*PFN_drwGetText)(HDRAWING, char*, uint32_t);

#ifdef __cplusplus
}  // extern "C"

static_assert(sizeof(DrwVertex) == 64);
static_assert(offsetof(DrwVertex, x) == 0 && offsetof(DrwVertex, y) == 8 &&
              offsetof(DrwVertex, bulge) == 16);
static_assert(sizeof(DrwEntityRecord) == 152);
static_assert(offsetof(DrwEntityRecord, kind) == 0);
static_assert(offsetof(DrwEntityRecord, x1) == 8 && offsetof(DrwEntityRecord, y1) == 16);
static_assert(offsetof(DrwEntityRecord, x2) == 32 && offsetof(DrwEntityRecord, y2) == 40);
static_assert(offsetof(DrwEntityRecord, circleX) == 56 && offsetof(DrwEntityRecord, circleY) == 64);
static_assert(offsetof(DrwEntityRecord, circleRadius) == 80);
static_assert(offsetof(DrwEntityRecord, arcX) == 88 && offsetof(DrwEntityRecord, arcY) == 96);
static_assert(offsetof(DrwEntityRecord, arcRadius) == 112);
static_assert(offsetof(DrwEntityRecord, arcStartAngle) == 120 &&
              offsetof(DrwEntityRecord, arcEndAngle) == 128);
static_assert(offsetof(DrwEntityRecord, vertices) == 136);
static_assert(offsetof(DrwEntityRecord, vertexCount) == 144);
static_assert(offsetof(DrwEntityRecord, flags) == 148);
#endif
