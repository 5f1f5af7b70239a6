#include "app/app.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

#include "decomposition/decomposition.h"
#include "formats/engines.h"
#include "geometry/mesh.h"
#include "geometry/surface.h"
#include "geometry/vec3d.h"
#include "hull/hull.h"
#include "io/stl.h"
#include "platform/platform.h"
#include "render/render.h"
#include "state/state.h"

namespace {

// Resets the view from the current mesh's box: centred on it, moved back by its diagonal.
void FrameCurrentMesh() {
  const cBoundBox& box = CurrentMesh->box;
  SceneOffset = GetCenter(box);
  CameraDistance = static_cast<float>(Length(box.max - box.min));
  CameraRotation = cVec3();
}

std::uint16_t LowWord(std::uint32_t value) {
  return static_cast<std::uint16_t>(value & 0xffffu);
}
std::uint16_t HighWord(std::uint32_t value) {
  return static_cast<std::uint16_t>(value >> 16);
}

}  // namespace

float NextLightAngle(float angle) {
  return angle > 360.0f ? 0.0f : angle + 0.01f;
}

cVec3 ComputeEye(float elevation, float azimuth, float distance) {
  const long double el = elevation;
  const long double az = azimuth;
  const long double d = distance;
  return cVec3(static_cast<float>(std::sin(az) * d * std::cos(el)),
               static_cast<float>(std::sin(el) * d),
               static_cast<float>(std::cos(az) * d * std::cos(el)));
}

cClipPlanes ComputeClipPlanes(const cBoundBox& box, const cVec3& offset, const cVec3& eye) {
  const cClipPlanes design;
  const cVec3d e = Widen(eye);
  const double distance = Length(e);
  if (!(distance > 0.0) || !std::isfinite(distance)) return design;
  // Depth of a point: its distance from the eye along the line of sight.
  double nearest = INFINITY;
  double farthest = -INFINITY;
  for (int corner = 0; corner < 8; ++corner) {
    const cVec3 at((corner & 1) ? box.max.x : box.min.x, (corner & 2) ? box.max.y : box.min.y,
                   (corner & 4) ? box.max.z : box.min.z);
    const double depth = (distance * distance - Dot(Widen(at) - Widen(offset), e)) / distance;
    if (!std::isfinite(depth)) return design;
    nearest = std::min(nearest, depth);
    farthest = std::max(farthest, depth);
  }
  if (!(farthest > 0.0)) return design;
  if (nearest >= design.nearPlane && farthest <= design.farPlane) return design;
  cClipPlanes planes;
  planes.farPlane = farthest * 1.01;
  planes.nearPlane = std::max(nearest * 0.99, planes.farPlane / 1000.0);
  return planes;
}

bool cGlWnd::ComputationInProgress() {
  if (Busy.load() != 0 || UiRunDepth > 0) return true;
  return CurrentMesh != nullptr && CurrentMesh->decomposition != nullptr &&
         CurrentMesh->decomposition->worker.load() != 0;
}

std::uint64_t cGlWnd::NewModelGeneration() {
  static std::uint64_t last = 0;  // UI thread only
  return ++last;
}

void cGlWnd::ModelChanged() {
  modelGeneration = NewModelGeneration();
}

void cGlWnd::OnMouseMove(std::uint32_t flags, int x, int y) {
  if (Busy.load() != 0) return;
  const int dx = x - LastMouseX;
  const int dy = y - LastMouseY;
  LastMouseX = x;
  LastMouseY = y;
  const bool left = (flags & kMouseLeft) != 0;
  const bool right = (flags & kMouseRight) != 0;
  if (left && right) {
    CameraDistance += static_cast<float>(dy);
    if (CameraDistance < 0.0f) CameraDistance = 0.0f;
  } else if (left) {
    CameraRotation.x += static_cast<float>(dy) * kRotationStep;
    CameraRotation.y += static_cast<float>(dx) * kRotationStep;
  }
  if (CameraRotation.x > kElevationLimit) {
    CameraRotation.x = kElevationClamp;
  } else if (CameraRotation.x < -kElevationLimit) {
    CameraRotation.x = -kElevationClamp;
  }
  if (CameraRotation.y > kAzimuthLimit || CameraRotation.y < -kAzimuthLimit)
    CameraRotation.y = 0.0f;
  SetupView();
}

void cGlWnd::OnMouseWheel(int delta) {
  if (Busy.load() != 0) return;
  const double diagonal =
      CurrentMesh != nullptr ? Length(CurrentMesh->box.max - CurrentMesh->box.min) : 0.0;
  if (delta < 0 && diagonal > 0.0 && std::isfinite(diagonal) &&
      !(CameraDistance >= diagonal / 1000.0)) {
    CameraDistance = static_cast<float>(diagonal / 10.0);
    SetupView();
    return;
  }
  const double notches = static_cast<double>(delta) / kWheelNotch;
  CameraDistance = static_cast<float>(CameraDistance * std::pow(double{kWheelStep}, notches));
  SetupView();
}

void cGlWnd::OpenFile(const std::string& path) {
  OpenFileReporting(path);
}

int cGlWnd::OpenFileReporting(const std::string& path) {
  int error = -1;
  if (!ComputationInProgress()) {
    errno = 0;
    error = OpenMeshFile(CurrentMesh, lastFileName, path) ? 0 : (errno != 0 ? errno : EIO);
    FrameCurrentMesh();
    ModelChanged();
  }
  SetupView();
  return error;
}

namespace {

// A length as the status line shows it: six significant digits, no exponent for ordinary sizes.
std::string StatusNumber(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

std::string StatusLine(const cMesh* mesh, const std::string& fileName) {
  if (mesh == nullptr) return "No model";
  if (mesh->triangles.empty()) return "No triangles";
  const std::size_t slash = fileName.find_last_of('/');
  std::string line = slash == std::string::npos ? fileName : fileName.substr(slash + 1);
  line += " | " + std::to_string(mesh->triangles.size()) + " triangles | box ";
  const cVec3d size = Widen(mesh->box.max) - Widen(mesh->box.min);
  line += StatusNumber(size.x) + " x " + StatusNumber(size.y) + " x " + StatusNumber(size.z);
  line += ", diagonal " + StatusNumber(Length(mesh->box.max - mesh->box.min));
  const cDecomposition* decomposition = mesh->decomposition;
  if (decomposition == nullptr) return line;
  line += " | " + std::to_string(decomposition->pieces.size()) + " pieces";
  if (decomposition->hulls.empty()) return line;
  std::size_t closed = 0;
  for (const cHullPointer& hull : decomposition->hulls) closed += IsClosedSurface(hull->faces);
  line += " | " + std::to_string(decomposition->hulls.size()) + " hulls, " +
          std::to_string(closed) + " closed";
  return line;
}

}  // namespace

std::optional<std::string> cGlWnd::StatusText() {
  if (ComputationInProgress()) return std::nullopt;
  if (statusGeneration != modelGeneration) {
    statusText = StatusLine(CurrentMesh, lastFileName);
    statusGeneration = modelGeneration;
  }
  return statusText;
}

void cGlWnd::OnRightButtonDown(std::uint32_t, int, int) {}
void cGlWnd::OnLeftButtonDown(std::uint32_t, int, int) {}

void cGlWnd::SetupView() {
  CameraEye = ComputeEye(CameraRotation.x, CameraRotation.y, CameraDistance);
  cClipPlanes planes;
  if (CurrentMesh != nullptr && !CurrentMesh->triangles.empty())
    planes = ComputeClipPlanes(CurrentMesh->box, SceneOffset, CameraEye);
  ApplyView(CameraEye, width, height, planes.nearPlane, planes.farPlane);
}

void cGlWnd::DrawBusyScreen() {
  ::DrawBusyScreen(width, height, fontListBase);
}

void cGlWnd::OnSize(int w, int h) {
  width = w;
  if (h == 0) h = 1;
  height = h;
  SetViewport(w, h);
  SetupView();
}

void cGlWnd::DrawScene() {
  cSceneView view;
  view.mesh = CurrentMesh;
  view.cache = drawCache;
  view.eye = CameraEye;
  view.offset = SceneOffset;
  view.lightAngle = LightAngle;
  view.showBoundBox = ShowBoundBox;
  view.showNormals = ShowNormals;
  view.showAxis = ShowAxis;
  view.modelGeneration = ComputationInProgress() ? 0 : modelGeneration;
  ::DrawScene(view);
  LightAngle = NextLightAngle(LightAngle);
}

void cGlWnd::OnCommand(std::uint32_t id) {
  // Commands that destroy or change the current mesh are ignored while a computation uses it;
  // Quit waits for the computation to end. The view commands always work.
  switch (id) {
    case kCmdQuit:
      Quit();
      break;
    case kCmdOpen:
      if (ComputationInProgress()) break;
      OpenMesh(CurrentMesh, lastFileName);
      FrameCurrentMesh();
      SetupView();
      break;
    case kCmdSave:
      break;
    case kCmdExport:
      Export();
      break;
    case kCmdReset:
      if (ComputationInProgress()) break;
      DestroyCurrentMesh();
      CameraEye = cVec3();
      CameraRotation = cVec3();
      SetupView();
      break;
    case kCmdBoundBox:
      ShowBoundBox = !ShowBoundBox;
      break;
    case kCmdNormals:
      ShowNormals = !ShowNormals;
      break;
    case kCmdFill:
      SetPolygonMode(cPolygonMode::Fill);
      break;
    case kCmdLines:
      SetPolygonMode(cPolygonMode::Line);
      break;
    case kCmdPoints:
      SetPolygonMode(cPolygonMode::Point);
      break;
    case kCmdAxis:
      ShowAxis = !ShowAxis;
      break;
    case kCmdOptions:
      Platform().RunOptionsDialog();
      break;
    case kCmdFit:
      // Centred and moved back by the diagonal, as Open leaves it, the angles kept.
      if (CurrentMesh != nullptr) {
        SceneOffset = GetCenter(CurrentMesh->box);
        CameraDistance = static_cast<float>(Length(CurrentMesh->box.max - CurrentMesh->box.min));
      }
      break;
    case kCmdDecompose:
      if (CurrentMesh == nullptr || ComputationInProgress()) break;
      // A later run computes here, inside its message boxes, which keep dispatching commands.
      ++UiRunDepth;
      Decompose(*CurrentMesh);
      --UiRunDepth;
      OnIdle();
      break;
    case kCmdConvexHull:
      ConvexHull();
      break;
    case kCmdFitHulls:
      FitHulls();
      break;
    default:
      break;
  }
  // The commands that may have replaced or changed the model, or started a computation that
  // will: a computation's frames cache nothing, and the first frame after it is of this new
  // generation.
  if (id == kCmdOpen || id == kCmdReset || id == kCmdDecompose || id == kCmdConvexHull ||
      id == kCmdFitHulls)
    ModelChanged();
  SetupView();
}

void cGlWnd::ConvexHull() {
  if (CurrentMesh == nullptr || CurrentMesh->decomposition == nullptr) return;
  cDecomposition& decomposition = *CurrentMesh->decomposition;
  if (decomposition.worker.load() != 0 || ComputationInProgress()) return;
  StartConvexHull(decomposition);
}

void cGlWnd::FitHulls() {
  if (CurrentMesh == nullptr || ComputationInProgress()) return;
  const std::optional<cFitRequest> request = Platform().AskFitRequest(lastFit);
  // The dialog's event loop may have let another command start a computation meanwhile.
  if (!request || CurrentMesh == nullptr || ComputationInProgress()) return;
  lastFit = *request;
  cFitSettings settings;
  settings.maxHulls = static_cast<std::size_t>(std::max(1, request->maxHulls));
  settings.maxHullVertices = static_cast<std::size_t>(std::max(4, request->maxHullVertices));
  settings.epsilon = kFitRelativeEpsilon * Length(CurrentMesh->box.max - CurrentMesh->box.min);
  StartFitHulls(*CurrentMesh, settings);
}

void cGlWnd::Export() {
  if (CurrentMesh == nullptr || ComputationInProgress()) return;
  const std::optional<std::string> path = Platform().ChooseExportFile(lastExportName);
  // The dialog's event loop may have let another command start a computation meanwhile.
  if (!path || CurrentMesh == nullptr || ComputationInProgress()) return;
  lastExportName = *path;
  const cDecomposition* decomposition = CurrentMesh->decomposition;
  cExportShapes shapes;
  if (decomposition != nullptr) {
    shapes = decomposition->hulls.empty() ? PieceShapes(decomposition->pieces)
                                          : HullShapes(decomposition->hulls);
  }
  if (shapes.shapes.empty()) {
    Platform().ShowMessage("Nothing to export: no hulls or pieces yet", "Export");
    return;
  }
  std::string failed;
  const int error = WriteExportFiles(*path, ExportFormatFor(*path), shapes, CurrentMesh->triangles,
                                     CurrentMesh->color, failed);
  if (error != 0) {
    Platform().ShowMessage("Cannot write " + failed + ": " + std::strerror(error), "Export");
  }
}

void cGlWnd::Quit() {
  if (ComputationInProgress()) {
    quitPending = true;
    return;
  }
  // A quit that waited is answered by this request too: one request per quit.
  quitPending = false;
  Platform().RequestQuit(0);
}

void cGlWnd::OnClose() {
  Quit();
}

void cGlWnd::OnIdle() {
  if (quitPending && !ComputationInProgress()) {
    quitPending = false;
    Platform().RequestQuit(0);
  }
}

void WindowProc(cGlWnd* wnd, cWindowMessage message, std::uint32_t wParam, std::uint32_t lParam) {
  if (wnd == nullptr) return;
  switch (message) {
    case cWindowMessage::Size:
      wnd->OnSize(LowWord(lParam), HighWord(lParam));
      break;
    case cWindowMessage::Paint:
      if (Busy.load() == 0) wnd->DrawScene();
      break;
    case cWindowMessage::Close:
      wnd->OnClose();
      break;
    case cWindowMessage::Command:
      if (HighWord(wParam) == 0) wnd->OnCommand(LowWord(wParam));
      break;
    case cWindowMessage::MouseMove:
      wnd->OnMouseMove(wParam, LowWord(lParam), HighWord(lParam));
      break;
    case cWindowMessage::LeftButtonDown:
      wnd->OnLeftButtonDown(wParam, LowWord(lParam), HighWord(lParam));
      break;
    case cWindowMessage::RightButtonDown:
      wnd->OnRightButtonDown(wParam, LowWord(lParam), HighWord(lParam));
      break;
    case cWindowMessage::MouseWheel:
      wnd->OnMouseWheel(static_cast<std::int16_t>(HighWord(wParam)));
      break;
  }
}
