// The window object's logic: command dispatch, the guards that keep commands away from a mesh
// that a computation is using, the orbit camera, and the routing of window events. Drawing and
// GL state go through render/, desktop operations through the platform interface.
#pragma once

#include <cstdint>
#include <string>

#include "geometry/vec3.h"

// Menu command ids.
enum cCommandId : std::uint32_t {
  kCmdQuit = 0,
  kCmdOpen = 1,
  kCmdSave = 2,
  kCmdReset = 3,
  kCmdBoundBox = 10,
  kCmdNormals = 11,
  kCmdFill = 12,
  kCmdLines = 13,
  kCmdPoints = 14,
  kCmdAxis = 15,
  kCmdOptions = 16,
  kCmdDecompose = 30,
  kCmdConvexHull = 31,
};

// Mouse-key flags of mouse events.
constexpr std::uint32_t kMouseLeft = 1;
constexpr std::uint32_t kMouseRight = 2;

// Camera constants (radians, pixels, model units).
constexpr float kRotationStep = 0.007f;        // per pixel of a left-button drag
constexpr float kElevationLimit = 1.5708f;     // beyond it the elevation is clamped ...
constexpr float kElevationClamp = 1.5697999f;  // ... to this, 0.001 inside the limit
constexpr float kAzimuthLimit = 6.2832f;       // beyond it the azimuth restarts at 0

class cGlWnd {
 public:
  cGlWnd() = default;
  virtual ~cGlWnd() = default;

  virtual void OnMouseMove(std::uint32_t flags, int x, int y);
  virtual void OnRightButtonDown(std::uint32_t flags, int x, int y);
  virtual void OnLeftButtonDown(std::uint32_t flags, int x, int y);
  virtual void SetupView();
  virtual void DrawBusyScreen();
  virtual void OnSize(int w, int h);
  virtual void OnCommand(std::uint32_t id);
  // One frame of the scene from the view state, then the circling light's step.
  virtual void DrawScene();

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
  std::string lastFileName;  // the open-file dialog starts from it

 private:
  void Quit();
  void ConvexHull();

  bool quitPending = false;
  // The model's state as frames know it: never 0, and never the same in two window objects.
  std::uint64_t modelGeneration = NewModelGeneration();
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
  RightButtonDown
};
void WindowProc(cGlWnd* wnd, cWindowMessage message, std::uint32_t wParam, std::uint32_t lParam);

// The circling light's angle for the frame after one drawn at angle: used in radians but wrapped
// at 360 (not 2 pi), in steps of 0.01.
float NextLightAngle(float angle);

// The eye on its sphere around the origin, computed in long double and stored as floats.
cVec3 ComputeEye(float elevation, float azimuth, float distance);
