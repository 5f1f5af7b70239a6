// The window object's logic: command dispatch, the guards that keep commands away from a mesh
// that a computation is using, the orbit camera, and the routing of window events. Drawing and
// GL state go through render/, desktop operations through the platform interface.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "geometry/vec3.h"
#include "platform/platform.h"

class cDrawCache;

// Menu command ids.
enum cCommandId : std::uint32_t {
  kCmdQuit = 0,
  kCmdOpen = 1,
  kCmdSave = 2,
  kCmdReset = 3,
  kCmdExport = 4,  // the current hulls, or pieces, in an engine's format
  kCmdBoundBox = 10,
  kCmdNormals = 11,
  kCmdFill = 12,
  kCmdLines = 13,
  kCmdPoints = 14,
  kCmdAxis = 15,
  kCmdOptions = 16,
  kCmdFit = 17,  // beside the menu's own commands: the model back in view
  kCmdDecompose = 30,
  kCmdConvexHull = 31,
  kCmdFitHulls = 32,  // beside the menu's own commands: few hulls within a vertex budget
};

// Mouse-key flags of mouse events.
constexpr std::uint32_t kMouseLeft = 1;
constexpr std::uint32_t kMouseRight = 2;

// Camera constants (radians, pixels, model units).
constexpr float kRotationStep = 0.007f;        // per pixel of a left-button drag
constexpr float kElevationLimit = 1.5708f;     // beyond it the elevation is clamped ...
constexpr float kElevationClamp = 1.5697999f;  // ... to this, 0.001 inside the limit
constexpr float kAzimuthLimit = 6.2832f;       // beyond it the azimuth restarts at 0
constexpr float kWheelStep = 0.9f;             // distance factor per wheel notch toward the centre
constexpr int kWheelNotch = 120;               // wheel delta of one notch

// The perspective's clip planes, model units from the eye.
struct cClipPlanes {
  double nearPlane = 1.0;
  double farPlane = 1000.0;
};

// The planes for a box drawn moved by -offset and seen from eye toward the origin: 1 and 1000
// whenever the whole box lies between them; otherwise planes just outside the box's nearest and
// farthest corner, the near one no closer than a thousandth of the far one (so an eye inside or
// right at the box may see its near part cut). 1 and 1000 too when there is no box to hold or no
// direction to look in (eye at the origin, values that are not finite).
cClipPlanes ComputeClipPlanes(const cBoundBox& box, const cVec3& offset, const cVec3& eye);

class cGlWnd {
 public:
  cGlWnd() = default;
  virtual ~cGlWnd() = default;

  virtual void OnMouseMove(std::uint32_t flags, int x, int y);
  // A turn of the wheel by delta (kWheelNotch per notch; positive away from the user): each
  // notch moves the eye by a tenth of its distance toward the centre (away for negative).
  // From distance 0, or below a thousandth of the current mesh's box diagonal, a turn away
  // moves the eye to a tenth of the diagonal instead, so the model can always be brought back.
  // Ignored while a worker computes, like mouse moves.
  virtual void OnMouseWheel(int delta);
  virtual void OnRightButtonDown(std::uint32_t flags, int x, int y);
  virtual void OnLeftButtonDown(std::uint32_t flags, int x, int y);
  virtual void SetupView();
  virtual void DrawBusyScreen();
  virtual void OnSize(int w, int h);
  virtual void OnCommand(std::uint32_t id);
  // One frame of the scene from the view state, then the circling light's step.
  virtual void DrawScene();

  // File > Open with path chosen (a file named at start or dropped on the window): ignored, like
  // Open, while a computation runs.
  void OpenFile(const std::string& path);

  // The line under the view: what is open and what the commands made of it, as
  //   "gear.stl | 2976 triangles | box 60 x 60 x 10, diagonal 85.4 | 57 pieces | 57 hulls, 57
  //   closed"
  // the pieces once Decompose has run, the hulls once there are any; "No model" before a mesh is
  // open and "No triangles" for a mesh without any. Empty while a computation is in progress
  // (the mesh may be changing): the line shown before stays. UI thread.
  std::optional<std::string> StatusText();

  // File > Open with path chosen, as OpenFile, saying whether the file could be opened: 0, or
  // the errno of why not (the mesh is then empty, as Open leaves it; -1 when a computation was
  // in progress and nothing happened).
  int OpenFileReporting(const std::string& path);

  // The close request of the window: the same as File > Quit.
  void OnClose();

  // Called by the main loop on every pass: ends a quit that had to wait for a computation.
  void OnIdle();

  // True while a worker computes or a run on the UI thread is inside its message boxes; the
  // current mesh and its components must then stay as they are.
  static bool ComputationInProgress();

  bool QuitPending() const { return quitPending; }

  // Says that the model (the current mesh, its components, their lists) changed other than by a
  // command: frames then stop reusing what earlier frames cached. The commands that change it
  // say so themselves; frames drawn while a computation is in progress cache nothing.
  void ModelChanged();

  int width = 0;
  int height = 0;
  unsigned fontListBase = 0;
  // What the frames keep in the context they draw in, owned by whoever owns that context; none:
  // every frame draws its lists directly.
  cDrawCache* drawCache = nullptr;
  std::string lastFileName;    // the open-file dialog starts from it
  cFitRequest lastFit;         // the Fit Hulls dialog starts from it
  std::string lastExportName;  // the export dialog starts from it

 private:
  void Quit();
  void ConvexHull();
  void FitHulls();
  void Export();

  bool quitPending = false;
  // The model's state as frames know it: never 0, and never the same in two window objects.
  std::uint64_t modelGeneration = NewModelGeneration();
  std::uint64_t statusGeneration = 0;  // the generation statusText was made for
  std::string statusText;
  static std::uint64_t NewModelGeneration();
};

// The window procedure: routes an event with its message words to the window object. wnd may
// be null (events before the object is attached); such events are only ignored.
enum class cWindowMessage {
  Size,
  Paint,
  Close,
  Command,
  MouseMove,
  LeftButtonDown,
  RightButtonDown,
  MouseWheel  // wParam: key flags in the low word, the signed delta in the high word
};
void WindowProc(cGlWnd* wnd, cWindowMessage message, std::uint32_t wParam, std::uint32_t lParam);

// The circling light's angle for the frame after one drawn at angle: used in radians but wrapped
// at 360 (not 2 pi), in steps of 0.01.
float NextLightAngle(float angle);

// The eye on its sphere around the origin, computed in long double and stored as floats.
cVec3 ComputeEye(float elevation, float azimuth, float distance);
