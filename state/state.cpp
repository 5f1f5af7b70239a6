#include "state/state.h"

#include "geometry/mesh.h"

cMesh* CurrentMesh = nullptr;

bool ShowBoundBox = false;
bool ShowNormals = false;
bool ShowAxis = false;

cVec3 CameraRotation;
cVec3 CameraEye;
float CameraDistance = 1.0f;
cVec3 SceneOffset;
float LightAngle = 0.0f;
int LastMouseX = 0;
int LastMouseY = 0;

std::atomic<int> Busy{0};

std::atomic<double> Epsilon{0.1};
std::atomic<double> Smooth{0.1};

int UiRunDepth = 0;

void DestroyCurrentMesh() {
  delete CurrentMesh;
  CurrentMesh = nullptr;
}

void ResetProcessState() {
  CurrentMesh = nullptr;
  ShowBoundBox = false;
  ShowNormals = false;
  ShowAxis = false;
  CameraRotation = cVec3();
  CameraEye = cVec3();
  CameraDistance = 1.0f;
  SceneOffset = cVec3();
  LightAngle = 0.0f;
  LastMouseX = 0;
  LastMouseY = 0;
  Busy.store(0);
  Epsilon.store(0.1);
  Smooth.store(0.1);
  UiRunDepth = 0;
}
